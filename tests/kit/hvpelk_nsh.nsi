; The kit's hvpelk.nsh through a real NSIS installer (scripts/test-kit builds it from the unpacked kit and
; runs it silently against hvservice with the example catalog): each macro's outputs, the registers it must
; keep, its answers to bad arguments, and that a text getter leaks nothing per call. Writes one line per
; failed check ("FAIL ...") and "checks done: N" to the log given as /LOG=FILE.
;   makensis -DHVPELK_KIT=KIT hvpelk_nsh.nsi

Unicode true
Name "hvpelk.nsh test"
OutFile "hvpelk-nsh-test.exe"
RequestExecutionLevel user
SilentInstall silent
!addincludedir "${HVPELK_KIT}/include/nsis"
!include hvpelk.nsh
!include LogicLib.nsh
!include FileFunc.nsh

Var Log
Var Checks
Var Handle
Var Status
Var Text
Var Before
Var After

; Compares two texts; a difference is logged with what was checked.
!macro Expect GOT WANT WHAT
  IntOp $Checks $Checks + 1
  ${If} `${GOT}` != `${WANT}`
    FileWrite $Log `FAIL ${WHAT}: got [${GOT}], want [${WANT}]$\r$\n`
  ${EndIf}
!macroend
!define Expect `!insertmacro Expect`

; Compares two status codes as numbers (System gives them in decimal, the defines are hexadecimal).
!macro ExpectStatus GOT WANT WHAT
  IntOp $Checks $Checks + 1
  ${If} `${GOT}` <> `${WANT}`
    ${PelkStatusName} `${GOT}` $9
    FileWrite $Log `FAIL ${WHAT}: got $9, want ${WANT}$\r$\n`
  ${EndIf}
!macroend
!define ExpectStatus `!insertmacro ExpectStatus`

; The process's committed memory (Wine reports it as the pagefile usage).
!macro Committed OUT
  System::Call 'kernel32::GetCurrentProcess() p .r8'
  System::Call '*(i 44, i, p, p, p, p, p, p, p, p, p) p .r9'
  System::Call 'kernel32::K32GetProcessMemoryInfo(p r8, p r9, i 44) i .r7'
  System::Call '*$9(i, i, p, p, p, p, p, p, p .r7)'
  System::Free $9
  StrCpy ${OUT} $7
!macroend

Section
  ${GetParameters} $0
  ${GetOptions} $0 "/LOG=" $1
  FileOpen $Log $1 w
  StrCpy $Checks 0

  ${PelkLoad} "$EXEDIR\no-such.dll" $0
  ${Expect} $0 126 "PelkLoad of a missing file"
  InitPluginsDir
  File "/oname=$PLUGINSDIR\hvpelk.dll" "${HVPELK_KIT}/bin/hvpelk.dll"
  ${PelkLoad} "$PLUGINSDIR\hvpelk.dll" $0
  ${Expect} $0 0 "PelkLoad"

  ; Before any request: the reference's answers.
  ${PelkClose} 99 $0
  ${PelkStatusName} $0 $1
  ${Expect} $1 PELK_E_UNEXPECTED "PelkClose of a handle never issued"
  ${PelkClose} 0 $0
  ${ExpectStatus} $0 ${PELK_S_OK} "PelkClose 0"
  ${PelkStatusName} -2147483643 $1
  ${Expect} $1 0x80000005 "the name of an unlisted code"

  ; Every register keeps its value through the macros, except the outputs named.
  StrCpy $0 r0
  StrCpy $1 r1
  StrCpy $2 r2
  StrCpy $3 r3
  StrCpy $4 r4
  StrCpy $5 r5
  StrCpy $6 r6
  StrCpy $7 r7
  StrCpy $8 r8
  StrCpy $9 r9
  StrCpy $R0 R0
  StrCpy $R9 R9
  ${PelkOpen} "hvpelk.nsh test" "1.0" "" "" "en-US" ${PELK_FLAG_VERIFY_CHECKSUM} $Handle $Status
  ${ExpectStatus} $Status ${PELK_S_OK} "PelkOpen"
  ${PelkDownloadCheck} $Handle $R1 $R2 $R3 $Status
  ${PelkStatusName} $Status $Text
  ${Expect} $Text PELK_S_NOTHING_OUTSTANDING "PelkDownloadCheck before any submit"
  ${PelkSetDistPackageGuid} $Handle "{5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01}" $Status
  ${PelkQuerySubmit} $Handle 0 $Status
  ${ExpectStatus} $Status ${PELK_S_STILL_RUNNING} "PelkQuerySubmit without waiting"
  ${Do}
    Sleep 20
    ${PelkQueryCheck} $Handle 0 $Status
  ${LoopWhile} $Status = ${PELK_S_STILL_RUNNING}
  ${ExpectStatus} $Status ${PELK_S_OK} "PelkQueryCheck"
  ${PelkGetDistCount} $Handle $R4 $Status
  ${Expect} $R4 2 "PelkGetDistCount"
  ${PelkGetContentId} $Handle 1 $Text $Status
  ${Expect} "$0 $1 $2 $3 $4 $5 $6 $7 $8 $9 $R0 $R9" "r0 r1 r2 r3 r4 r5 r6 r7 r8 r9 R0 R9" "registers"

  ; The fields of the first distribution of the example catalog.
  ${PelkGetContentId} $Handle 0 $Text $Status
  ${Expect} "$Status $Text" "0 QN-2100-EN" "PelkGetContentId"
  ${PelkGetProductName} $Handle 0 $Text $Status
  ${Expect} $Text "Quillan Notes 2.1" "PelkGetProductName"
  ${PelkGetDistChecksum} $Handle 0 $Text $Status
  ${Expect} $Text 58b835e00627aeb4383766c1f6ffb533 "PelkGetDistChecksum"
  ${PelkGetDistPackageGUID} $Handle 0 $Text $Status
  ${Expect} $Text {5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01} "PelkGetDistPackageGUID"
  ${PelkGetDistGUID} $Handle 0 $Text $Status
  ${Expect} $Text {A3F0C6D2-1B7E-4E55-8A9D-64C2E1F0B201} "PelkGetDistGUID"
  ${PelkGetDistLanguage} $Handle 0 $Text $Status
  ${Expect} $Text en "PelkGetDistLanguage"
  ${PelkGetDistVersion} $Handle 0 $Text $Status
  ${Expect} $Text 2.1.0.0 "PelkGetDistVersion"
  ${PelkGetDistDownloadSize} $Handle 0 $Text $Status
  ${Expect} $Text 5374 "PelkGetDistDownloadSize"
  ${PelkGetDistDownloadURL} $Handle 0 $Text $Status
  StrCpy $0 $Text 7
  ${Expect} $0 http:// "PelkGetDistDownloadURL"

  ; A bad index: the status, and an empty text.
  ${PelkGetContentId} $Handle 2 $Text $Status
  ${PelkStatusName} $Status $0
  ${Expect} "$0 [$Text]" "PELK_E_BAD_INDEX []" "a text getter past the list"
  ${PelkGetDistDownloadSize} $Handle -1 $Text $Status
  ${ExpectStatus} $Status ${PELK_E_BAD_INDEX} "PelkGetDistDownloadSize of index -1"
  ${PelkDownloadSubmit} $Handle 5 "$TEMP\never.bin" $Status
  ${ExpectStatus} $Status ${PELK_E_BAD_INDEX} "PelkDownloadSubmit past the list"

  ; 5,000 text reads: each frees its VARIANT and BSTR, so the memory stays where it was.
  !insertmacro Committed $Before
  StrCpy $R5 0
  ${Do}
    ${PelkGetDistDownloadURL} $Handle 0 $Text $Status
    IntOp $R5 $R5 + 1
  ${LoopUntil} $R5 >= 5000
  !insertmacro Committed $After
  IntOp $0 $After - $Before
  FileWrite $Log "memory growth over 5000 text reads: $0 bytes$\r$\n"
  ${If} $0 > 32768
    FileWrite $Log "FAIL text reads leak: $0 bytes more after 5000 of them$\r$\n"
  ${EndIf}

  ${PelkReportReset} $Handle $Status
  ${ExpectStatus} $Status ${PELK_S_OK} "PelkReportReset"
  ${PelkReportSubmit} $Handle $Status
  ${ExpectStatus} $Status ${PELK_S_OK} "PelkReportSubmit with nothing to send"
  ${PelkClose} $Handle $Status
  ${ExpectStatus} $Status ${PELK_S_OK} "PelkClose"
  ${PelkQueryReset} $Handle $Status
  ${ExpectStatus} $Status ${PELK_E_INVALID_HANDLE} "a call on a closed handle"
  FileWrite $Log "checks done: $Checks$\r$\n"
  FileClose $Log
SectionEnd
