; setup.nsi: an NSIS installer that downloads this product's newest distribution with hvpelk.
;
; A page asks the distribution service for the product's package, picks the newest distribution and downloads
; it into the installation folder: a timer polls the library and moves a progress bar, a button cancels.
; Run the installer again after a cancel and it resumes the partial file; a complete file is only verified.
; The download statistics go back to the service, then the installer goes on (here it installs nothing else).
;
; Build it in the kit with Debian's or any NSIS 3 makensis:   makensis examples/nsis/setup.nsi
; (-DHVPELK_KIT=FOLDER when the script is not in the kit's examples/nsis). The service URL comes from the
; registry, HKLM\SOFTWARE\Halvorn\Trellin (S_URL, URL): an NSIS installer is a 32-bit program, so on 64-bit
; Windows that is HKLM\SOFTWARE\Wow6432Node\Halvorn\Trellin.
;
; Command line (besides NSIS's own /S and /D=FOLDER):
;   /LOG=FILE        write what happened to FILE (default: hvpelk-setup.log in the installation folder)
;   /CANCELAT=BYTES  press Cancel once BYTES have arrived (for tests of a cancel in silent mode)
; Silent (/S) it runs the same steps without a window, polling every 100 ms, and ends with exit code 0 when
; the file is complete, 1 after a cancel, 2 after a failure.

Unicode true
!ifndef HVPELK_KIT
  !define HVPELK_KIT "../.."
!endif
!addincludedir "${HVPELK_KIT}/include/nsis"
!include hvpelk.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include WinMessages.nsh

; Who is asking, and for which package: replace these with your own product's.
!define APP_NAME "Quillan Notes Setup"
!define APP_VERSION "2.0.0.0"
!define LOCALE "en-US"
!define PACKAGE_GUID "{5B1E3C2A-7D44-4F1B-9C3E-2A6F0D8B1C01}"

Name "Quillan Notes"
OutFile "quillan-notes-setup.exe"
InstallDir "$LOCALAPPDATA\Quillan Notes"
RequestExecutionLevel user

Page directory
Page custom DownloadPage DownloadPageLeave
Page instfiles

Var Handle      ; the hvpelk connection, 0 when none is open
Var State       ; query, download or end
Var Result      ; complete, cancelled or failed
Var Phase       ; the last phase seen
Var Received
Var Total
Var Target      ; the file the distribution goes to
Var Before      ; its size when the download started
Var Cancelled   ; 1 once PelkDownloadCancel was called
Var CancelAt    ; /CANCELAT=, empty when not given
Var LogPath
Var Log         ; the open log file
Var Bar         ; the page's controls
Var Label
Var CancelButton

!macro Log TEXT
  FileWrite $Log `${TEXT}$\r$\n`
!macroend
!define Log `!insertmacro Log`

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LOG=" $LogPath
  ${IfThen} ${Errors} ${|} StrCpy $LogPath "" ${|}
  ClearErrors
  ${GetOptions} $0 "/CANCELAT=" $CancelAt
  ${IfThen} ${Errors} ${|} StrCpy $CancelAt "" ${|}
  StrCpy $Handle 0
FunctionEnd

; Loads the library, opens a connection and sends the query without waiting: Advance collects the answer.
Function Begin
  Call Abandon
  CreateDirectory $INSTDIR
  ${IfThen} $LogPath == "" ${|} StrCpy $LogPath "$INSTDIR\hvpelk-setup.log" ${|}
  FileOpen $Log $LogPath w
  ${Log} "hvpelk NSIS example (hvpelk.nsh for hvpelk.dll ${HVPELK_VERSION})"
  StrCpy $State end
  StrCpy $Result failed
  StrCpy $Phase 0
  StrCpy $Received 0
  StrCpy $Total 0
  StrCpy $Cancelled 0
  InitPluginsDir
  File "/oname=$PLUGINSDIR\hvpelk.dll" "${HVPELK_KIT}/bin/hvpelk.dll"
  ${PelkLoad} "$PLUGINSDIR\hvpelk.dll" $0
  ${If} $0 <> 0
    ${Log} "load: Windows error $0"
    Return
  ${EndIf}
  ${PelkOpen} "${APP_NAME}" "${APP_VERSION}" "" "" "${LOCALE}" ${PELK_FLAG_VERIFY_CHECKSUM} $Handle $0
  ${PelkStatusName} $0 $1
  ${Log} "open: $1, handle $Handle"
  ${IfThen} $0 <> ${PELK_S_OK} ${|} Return ${|}
  ${IfNot} ${Silent}
    ${PelkSetParentWindow} $Handle $HWNDPARENT $0
  ${EndIf}
  ${PelkSetDistPackageGuid} $Handle "${PACKAGE_GUID}" $0
  ${PelkQuerySubmit} $Handle 0 $0
  ${If} $0 < 0
    ${PelkStatusName} $0 $1
    ${Log} "query: $1"
    Return
  ${EndIf}
  StrCpy $State query
FunctionEnd

; The newest distribution of the answer (dotted versions compared part by part) into $R0; -1 for none.
Function ChooseNewest
  ${PelkGetDistCount} $Handle $R1 $0
  ${PelkStatusName} $0 $1
  ${Log} "query: PELK_S_OK, $R1 distributions"
  StrCpy $R0 -1
  StrCpy $R2 ""
  StrCpy $R3 0
  ${DoWhile} $R3 < $R1
    ${PelkGetDistVersion} $Handle $R3 $R4 $0
    ${If} $R0 < 0
      StrCpy $R0 $R3
      StrCpy $R2 $R4
    ${Else}
      ${VersionCompare} $R4 $R2 $R5
      ${If} $R5 = 1
        StrCpy $R0 $R3
        StrCpy $R2 $R4
      ${EndIf}
    ${EndIf}
    IntOp $R3 $R3 + 1
  ${Loop}
FunctionEnd

; Starts the download of the chosen distribution into the installation folder, under the URL's file name.
Function StartDownload
  Call ChooseNewest
  ${If} $R0 < 0
    ${Log} "chosen: no distribution of this package is available"
    StrCpy $Result complete
    StrCpy $State end
    Return
  ${EndIf}
  ${PelkGetContentId} $Handle $R0 $R1 $0
  ${PelkGetProductName} $Handle $R0 $R2 $0
  ${PelkGetDistDownloadURL} $Handle $R0 $R3 $0
  ${PelkGetDistDownloadSize} $Handle $R0 $R4 $0
  ${PelkGetDistVersion} $Handle $R0 $R5 $0
  ${Log} "chosen: index $R0, $R1, $R2, version $R5, $R4 bytes, $R3"
  ${WordFind} $R3 "/" "-1" $R6
  StrCpy $Target "$INSTDIR\$R6"
  StrCpy $Before 0
  ClearErrors
  FileOpen $R7 $Target r
  ${IfNot} ${Errors}
    FileSeek $R7 0 END $Before
    FileClose $R7
  ${EndIf}
  ${Log} "target: $Target, $Before bytes there before"
  ${PelkDownloadSubmit} $Handle $R0 $Target $0
  ${PelkStatusName} $0 $1
  ${Log} "submit: $1"
  ${If} $0 < 0
    StrCpy $State end
  ${Else}
    StrCpy $State download
  ${EndIf}
FunctionEnd

; The Cancel button, and /CANCELAT in silent mode: returns at once; the polls then see the download stop.
Function CancelDownload
  ${If} $State == download
  ${AndIf} $Cancelled = 0
    ${PelkDownloadCancel} $Handle $0
    ${PelkStatusName} $0 $1
    ${Log} "cancel: $1 at $Received of $Total bytes"
    StrCpy $Cancelled 1
  ${EndIf}
FunctionEnd

; Sends the statistics of this download (a failed or cancelled one too) and closes the connection.
Function Finish
  ${If} $Handle <> 0
    ${PelkReportSubmit} $Handle $0
    ${PelkStatusName} $0 $1
    ${Log} "report: $1"
    ${PelkClose} $Handle $0
    ${PelkStatusName} $0 $1
    ${Log} "close: $1"
    StrCpy $Handle 0
  ${EndIf}
  ${Log} "result: $Result"
  FileClose $Log
FunctionEnd

; One step, from the page's timer or the silent loop: collects the query's answer, or polls the download.
Function Advance
  ${If} $State == query
    ${PelkQueryCheck} $Handle 0 $0
    ${If} $0 = ${PELK_S_STILL_RUNNING}
      Return
    ${ElseIf} $0 <> ${PELK_S_OK}
      ${PelkStatusName} $0 $1
      ${Log} "query: $1"
      StrCpy $State end
    ${Else}
      Call StartDownload
    ${EndIf}
  ${ElseIf} $State == download
    ${If} $CancelAt != ""
      System::Int64Op $Received < $CancelAt
      Pop $0
      ${IfThen} $0 = 0 ${|} Call CancelDownload ${|}
    ${EndIf}
    ${PelkDownloadStep} $Handle $0 $Received $Total $2 $3
    ${If} $0 <> $Phase
      StrCpy $Phase $0
      ${PelkStatusName} $0 $1
      ${Log} "phase: $1, $Received of $Total bytes"
    ${EndIf}
    ${IfNot} ${Silent}
      SendMessage $Bar ${PBM_SETPOS} $2 0
      Call ShowPhase
    ${EndIf}
    ${If} $3 = 1
      ${If} $Phase = ${PELK_PHASE_FINISHED}
        StrCpy $Result complete
      ${ElseIf} $Cancelled = 1
        StrCpy $Result cancelled
      ${EndIf}
      System::Int64Op $Received - $Before
      Pop $1
      ${Log} "end: $Received of $Total bytes; $1 bytes received in this run"
      StrCpy $State end
    ${EndIf}
  ${EndIf}
  ${If} $State == end
    Call Finish
    StrCpy $State done
  ${EndIf}
FunctionEnd

; Leaving a download behind (the page left with Back, the installer closed): cancel, then close, which waits
; for the download's worker. The partial file stays for the next run.
Function Abandon
  ${If} $Handle <> 0
    Call CancelDownload
    ${PelkClose} $Handle $0
    StrCpy $Handle 0
    ${Log} "closed early"
    FileClose $Log
  ${EndIf}
FunctionEnd

; ---- The page ----

Function DownloadPage
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "Downloading the newest version of $(^Name)..."
  Pop $Label
  ${NSD_CreateProgressBar} 0 30u 100% 12u ""
  Pop $Bar
  SendMessage $Bar ${PBM_SETRANGE32} 0 1000
  ${NSD_CreateButton} 0 50u 80u 14u "Cancel download"
  Pop $CancelButton
  ${NSD_OnClick} $CancelButton OnCancelClick
  GetDlgItem $0 $HWNDPARENT 1  ; Next waits for the download's end
  EnableWindow $0 0
  Call Begin
  ${If} $State == end
    Call Finish
    StrCpy $State done
  ${EndIf}
  Call ShowPhase
  ${NSD_CreateTimer} OnTimer 100
  nsDialogs::Show
FunctionEnd

Function OnCancelClick
  Pop $0  ; the button
  Call CancelDownload
FunctionEnd

Function OnTimer
  Call Advance
  ${If} $State == done
    ${NSD_KillTimer} OnTimer
    Call ShowPhase
    EnableWindow $CancelButton 0
    GetDlgItem $0 $HWNDPARENT 1
    EnableWindow $0 1
  ${EndIf}
FunctionEnd

Function ShowPhase
  ${If} $State == done
    ${If} $Result == complete
      StrCpy $1 "Complete: $Target"
    ${ElseIf} $Result == cancelled
      StrCpy $1 "Cancelled: the partial file stays; run setup again to resume."
    ${Else}
      StrCpy $1 "Failed: see $LogPath"
    ${EndIf}
  ${ElseIf} $Phase = ${PELK_PHASE_RESUMING}
    StrCpy $1 "Resuming: $Received of $Total bytes"
  ${ElseIf} $Phase = ${PELK_PHASE_RECEIVING}
    StrCpy $1 "Receiving: $Received of $Total bytes"
  ${ElseIf} $Phase = ${PELK_PHASE_VERIFYING}
    StrCpy $1 "Verifying the checksum..."
  ${Else}
    StrCpy $1 "Connecting..."
  ${EndIf}
  ${NSD_SetText} $Label $1
FunctionEnd

Function DownloadPageLeave
  ${IfThen} $State != done ${|} Abort ${|}  ; Next is enabled only at the end
FunctionEnd

Function .onGUIEnd
  Call Abandon
FunctionEnd

; ---- Silent mode, and the install step ----

Section "-Download"
  ${If} ${Silent}
    Call Begin
    ${Do}
      ${If} $State != end
        Sleep 100
      ${EndIf}
      Call Advance
    ${LoopUntil} $State == done
    ${If} $Result == complete
      SetErrorLevel 0
    ${ElseIf} $Result == cancelled
      SetErrorLevel 1
    ${Else}
      SetErrorLevel 2
    ${EndIf}
  ${Else}
    DetailPrint "Download: $Result ($Target)"
  ${EndIf}
SectionEnd
