; setup.nsi: an NSIS installer that downloads this product's newest distribution with hvpelk.
;
; A page asks the distribution service for the product's package, picks the newest distribution and downloads
; it into the installation folder: a timer polls the library, moves a progress bar and shows the product, the
; bytes so far and the total, the rate and the time left, and the phase in words; a button cancels. A
; connection that breaks is tried again by itself, up to 3 more times after growing pauses (1, 2 and 4 s),
; each attempt resuming the partial file. Run the installer again after a cancel or a failure and it resumes
; the partial file; a complete file is only verified. The download statistics go back to the service, then
; the installer goes on (here it installs nothing else).
;
; Build it in the kit with Debian's or any NSIS 3 makensis:   makensis examples/nsis/setup.nsi
; (-DHVPELK_KIT=FOLDER when the script is not in the kit's examples/nsis). The service URL comes from the
; registry, HKLM\SOFTWARE\Halvorn\Trellin (S_URL, URL): an NSIS installer is a 32-bit program, so on 64-bit
; Windows that is HKLM\SOFTWARE\Wow6432Node\Halvorn\Trellin.
;
; Command line (besides NSIS's own /S and /D=FOLDER):
;   /LOG=FILE        write what happened to FILE (default: hvpelk-setup.log in the installation folder)
;   /CANCELAT=BYTES  press Cancel once BYTES have arrived (for tests of a cancel in silent mode)
; Silent (/S) it runs the same steps without a window, polling every 100 ms. Either way it ends with exit
; code 0 when the file is complete, 1 after a cancel, 2 after a failure.

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
!define ATTEMPTS 4  ; the first submit and up to 3 retries

Name "Quillan Notes"
Caption "Quillan Notes Setup"
BrandingText "Quillan Notes Setup"
OutFile "quillan-notes-setup.exe"
InstallDir "$LOCALAPPDATA\Quillan Notes"
RequestExecutionLevel user

Page directory
Page custom DownloadPage DownloadPageLeave
Page instfiles

Var Handle      ; the hvpelk connection, 0 when none is open
Var State       ; query, download, pause (before a retry), end, done
Var Result      ; complete, cancelled or failed
Var Message     ; what went wrong, in words, once the result is failed
Var Phase       ; the last phase seen
Var Received
Var Total
Var Permille    ; the progress bar's position, 0 to 1000
Var Index       ; the chosen distribution
Var Product     ; its product name and version
Var Target      ; the file the distribution goes to
Var Before      ; its size when this run started
Var Attempt     ; 1 for the first submit, 2 to ATTEMPTS for the retries
Var RetryAt     ; the tick count at which the pause before the next attempt ends
Var Rate        ; bytes a second, smoothed; 0 until measured
Var SampleTick  ; the tick count and byte count the rate is measured from; 0 when not measuring
Var SampleBytes
Var Cancelled   ; 1 once Cancel was pressed
Var CancelAt    ; /CANCELAT=, empty when not given
Var LogPath
Var Log         ; the open log file
Var Heading     ; the page's controls
Var Bar
Var Amount
Var Speed
Var Status
Var CancelButton

!macro Log TEXT
  FileWrite $Log `${TEXT}$\r$\n`
!macroend
!define Log `!insertmacro Log`

; ${FormatBytes} BYTES OUT: "512 bytes", "12.5 KiB", "3.0 MiB", "1.2 GiB" (a 64-bit count).
!macro FormatBytes BYTES OUT
  Push `${BYTES}`
  Call FormatBytes
  Pop `${OUT}`
!macroend
!define FormatBytes `!insertmacro FormatBytes`

!macro TickCount OUT
  System::Call 'kernel32::GetTickCount() i .s'
  Pop `${OUT}`
!macroend
!define TickCount `!insertmacro TickCount`

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

; Ends in failure: $0 is the status, $1 says what failed. The message names the status for the log.
Function Fail
  Push $0
  Call DescribeFailure
  Pop $2
  ${PelkStatusName} $0 $3
  StrCpy $Message "$1: $2 ($3)"
  ${Log} "failed: $Message"
  StrCpy $Result failed
  StrCpy $State end
FunctionEnd

; A failure status on the stack, in words for the person at the screen, replaced by the words.
Function DescribeFailure
  Exch $0
  ${If} $0 = ${PELK_E_READ}
  ${OrIf} $0 = ${PELK_E_CONNECTION}
    StrCpy $0 "the connection to the server failed or broke off"
  ${ElseIf} $0 = ${PELK_E_SEND}
  ${OrIf} $0 = ${PELK_E_OPEN_REQUEST}
  ${OrIf} $0 = ${PELK_E_END_REQUEST}
    StrCpy $0 "the request could not be sent to the server"
  ${ElseIf} $0 = ${PELK_E_CONNECT_TIMEOUT}
  ${OrIf} $0 = ${PELK_E_HTTP_408}
  ${OrIf} $0 = ${PELK_E_TIMEOUT}
    StrCpy $0 "the server did not answer in time"
  ${ElseIf} $0 = ${PELK_E_HTTP_404}
    StrCpy $0 "the server does not have the file"
  ${ElseIf} $0 = ${PELK_E_CHECKSUM}
    StrCpy $0 "the downloaded file is damaged (its checksum differs); delete it and run setup again"
  ${ElseIf} $0 = ${PELK_E_GZIP}
    StrCpy $0 "the downloaded file cannot be unpacked"
  ${ElseIf} $0 = ${PELK_E_DISK_SPACE}
    StrCpy $0 "there is not enough free disk space in the installation folder"
  ${ElseIf} $0 = ${PELK_E_CREATE_FILE}
  ${OrIf} $0 = ${PELK_E_SYSTEM_CALL}
    StrCpy $0 "the file in the installation folder cannot be written"
  ${ElseIf} $0 = ${PELK_E_PROXY_AUTH}
    StrCpy $0 "the proxy server asks for a user name and password"
  ${ElseIf} $0 = ${PELK_E_CERT_REVOCATION}
  ${OrIf} $0 = ${PELK_E_CERT_DATE}
  ${OrIf} $0 = ${PELK_E_CERT_NAME}
    StrCpy $0 "the server's certificate is not valid"
  ${ElseIf} $0 = ${PELK_E_BAD_URL}
  ${OrIf} $0 = ${PELK_E_INTERNET_OPEN}
    StrCpy $0 "the service address in the registry cannot be used"
  ${ElseIf} $0 = ${PELK_E_HTTP_BAD_REQUEST}
  ${OrIf} $0 = ${PELK_E_HTTP_SERVER}
  ${OrIf} $0 = ${PELK_E_HTTP_STATUS}
  ${OrIf} $0 = ${PELK_E_CONTENT_TYPE}
    StrCpy $0 "the server refused the download"
  ${ElseIf} $0 >= ${PELK_E_SERVICE_UNKNOWN}
  ${AndIf} $0 <= ${PELK_E_SERVICE_6000}
    StrCpy $0 "the distribution service answered with an error"
  ${ElseIf} $0 = ${PELK_E_MALFORMED_RESPONSE}
  ${OrIf} $0 = ${PELK_E_EMPTY_RESPONSE}
    StrCpy $0 "the distribution service's answer cannot be read"
  ${Else}
    StrCpy $0 "an unexpected error occurred"
  ${EndIf}
  Exch $0
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
  StrCpy $Message ""
  StrCpy $Phase 0
  StrCpy $Received 0
  StrCpy $Total 0
  StrCpy $Permille 0
  StrCpy $Product ""
  StrCpy $Attempt 1
  StrCpy $Rate 0
  StrCpy $SampleTick 0
  StrCpy $Cancelled 0
  InitPluginsDir
  File "/oname=$PLUGINSDIR\hvpelk.dll" "${HVPELK_KIT}/bin/hvpelk.dll"
  ${PelkLoad} "$PLUGINSDIR\hvpelk.dll" $0
  ${If} $0 <> 0
    ${Log} "load: Windows error $0"
    StrCpy $Message "hvpelk.dll cannot be loaded (Windows error $0)"
    Return
  ${EndIf}
  ${PelkOpen} "${APP_NAME}" "${APP_VERSION}" "" "" "${LOCALE}" ${PELK_FLAG_VERIFY_CHECKSUM} $Handle $0
  ${PelkStatusName} $0 $1
  ${Log} "open: $1, handle $Handle"
  ${If} $0 <> ${PELK_S_OK}
    StrCpy $1 "The library cannot start"
    Call Fail
    Return
  ${EndIf}
  ${IfNot} ${Silent}
    ${PelkSetParentWindow} $Handle $HWNDPARENT $0
  ${EndIf}
  ${PelkSetDistPackageGuid} $Handle "${PACKAGE_GUID}" $0
  ${PelkQuerySubmit} $Handle 0 $0
  StrCpy $State query
  ${If} $0 = ${PELK_S_OK}  ; the answer came at once
    Call StartDownload
  ${ElseIf} $0 < 0
    ${PelkStatusName} $0 $1
    ${Log} "query: $1"
    StrCpy $1 "The distribution service cannot be asked"
    Call Fail
  ${EndIf}
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

; Chooses the distribution and starts its download into the installation folder, under the URL's file name.
Function StartDownload
  Call ChooseNewest
  ${If} $R0 < 0
    ${Log} "chosen: no distribution of this package is available"
    StrCpy $Message "No distribution of $(^Name) is available from the service"
    StrCpy $Result complete
    StrCpy $State end
    Return
  ${EndIf}
  StrCpy $Index $R0
  ${PelkGetContentId} $Handle $R0 $R1 $0
  ${PelkGetProductName} $Handle $R0 $R2 $0
  ${PelkGetDistDownloadURL} $Handle $R0 $R3 $0
  ${PelkGetDistDownloadSize} $Handle $R0 $R4 $0
  ${PelkGetDistVersion} $Handle $R0 $R5 $0
  ${Log} "chosen: index $R0, $R1, $R2, version $R5, $R4 bytes, $R3"
  StrCpy $Product "$R2 (version $R5)"
  ${WordFind} $R3 "/" "-1" $R6
  StrCpy $Target "$INSTDIR\$R6"
  Call FileSize
  Pop $Before
  ${Log} "target: $Target, $Before bytes there before"
  Call Submit
FunctionEnd

; The size of $Target on the stack, 0 when there is none.
Function FileSize
  Push $0
  Push $1
  StrCpy $1 0
  ClearErrors
  FileOpen $0 $Target r
  ${IfNot} ${Errors}
    FileSeek $0 0 END $1
    FileClose $0
  ${EndIf}
  Exch
  Pop $0
  Exch $1
FunctionEnd

; One submit of the chosen distribution: a partial file is resumed by the library.
Function Submit
  StrCpy $SampleTick 0
  ${PelkDownloadSubmit} $Handle $Index $Target $0
  ${PelkStatusName} $0 $1
  ${Log} "submit: $1"
  StrCpy $State download
  ${If} $0 < 0
    StrCpy $1 "The download cannot start"
    Call Fail
  ${EndIf}
FunctionEnd

; A cut connection is tried again: $0 is the final phase of the attempt that just ended. Sets the pause
; before the next attempt and returns 1 on the stack, or returns 0 when this failure is not retried.
Function PlanRetry
  ${If} $Attempt >= ${ATTEMPTS}
  ${OrIf} $Cancelled = 1
    Push 0
    Return
  ${EndIf}
  ${If} $0 = ${PELK_E_CONNECTION}
  ${OrIf} $0 = ${PELK_E_READ}
  ${OrIf} $0 = ${PELK_E_SEND}
  ${OrIf} $0 = ${PELK_E_CONNECT_TIMEOUT}
  ${OrIf} $0 = ${PELK_E_HTTP_408}
    IntOp $1 $Attempt - 1
    IntOp $1 1000 << $1  ; 1, 2, 4 seconds
    IntOp $Attempt $Attempt + 1
    ${TickCount} $RetryAt
    IntOp $RetryAt $RetryAt + $1
    IntOp $1 $1 / 1000
    ${PelkStatusName} $0 $2
    ${Log} "retry: $2 at $Received of $Total bytes; attempt $Attempt of ${ATTEMPTS} in $1 s"
    StrCpy $State pause
    Push 1
  ${Else}
    Push 0
  ${EndIf}
FunctionEnd

; The Cancel button, and /CANCELAT in silent mode: returns at once; the polls then see the download stop.
; During the query, or in the pause before a retry, the run ends at once.
Function CancelDownload
  ${If} $Cancelled = 1
    Return
  ${EndIf}
  ${If} $State == query
    ${PelkQueryCancel} $Handle $0
    ${Log} "cancel: during the query"
    StrCpy $Cancelled 1
    StrCpy $Result cancelled
    StrCpy $State end
  ${ElseIf} $State == download
    ${PelkDownloadCancel} $Handle $0
    ${PelkStatusName} $0 $1
    ${Log} "cancel: $1 at $Received of $Total bytes"
    StrCpy $Cancelled 1
  ${ElseIf} $State == pause
    ${Log} "cancel: in the pause before attempt $Attempt, at $Received of $Total bytes"
    StrCpy $Cancelled 1
    StrCpy $Result cancelled
    Call EndDownload
  ${EndIf}
FunctionEnd

Function EndDownload
  System::Int64Op $Received - $Before
  Pop $1
  ${Log} "end: $Received of $Total bytes; $1 bytes received in this run"
  StrCpy $State end
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

; The rate, measured over half a second or more of receiving and smoothed (a quarter of each new
; measurement), so that neither the rate nor the time left shown jumps with every poll.
Function MeasureRate
  ${If} $Phase <> ${PELK_PHASE_RECEIVING}
    StrCpy $SampleTick 0
    Return
  ${EndIf}
  ${TickCount} $0
  ${If} $SampleTick = 0
    StrCpy $SampleTick $0
    StrCpy $SampleBytes $Received
    Return
  ${EndIf}
  IntOp $1 $0 - $SampleTick
  ${IfThen} $1 < 500 ${|} Return ${|}
  System::Int64Op $Received - $SampleBytes
  Pop $2
  System::Int64Op $2 * 1000
  Pop $2
  System::Int64Op $2 / $1
  Pop $2
  ${If} $Rate = 0
    StrCpy $Rate $2
  ${Else}
    System::Int64Op $Rate * 3
    Pop $3
    System::Int64Op $3 + $2
    Pop $3
    System::Int64Op $3 / 4
    Pop $Rate
  ${EndIf}
  StrCpy $SampleTick $0
  StrCpy $SampleBytes $Received
FunctionEnd

; One step, from the page's timer or the silent loop: collects the query's answer, polls the download, or
; ends the pause before a retry.
Function Advance
  ${If} $State == query
    ${PelkQueryCheck} $Handle 0 $0
    ${If} $0 = ${PELK_S_STILL_RUNNING}
      Return
    ${ElseIf} $0 <> ${PELK_S_OK}
      ${PelkStatusName} $0 $1
      ${Log} "query: $1"
      StrCpy $1 "The distribution service cannot be asked"
      Call Fail
    ${Else}
      Call StartDownload
    ${EndIf}
  ${ElseIf} $State == pause
    ${TickCount} $0
    IntOp $0 $0 - $RetryAt
    ${If} $0 >= 0
      ${Log} "resume: attempt $Attempt of ${ATTEMPTS}, from $Received bytes"
      Call Submit
    ${EndIf}
  ${ElseIf} $State == download
    ${If} $CancelAt != ""
    ${AndIf} $Received L>= $CancelAt
      Call CancelDownload
    ${EndIf}
    ${PelkDownloadStep} $Handle $0 $Received $Total $Permille $3
    ${If} $0 <> $Phase
      StrCpy $Phase $0
      ${PelkStatusName} $0 $1
      ${Log} "phase: $1, $Received of $Total bytes"
    ${EndIf}
    ${If} $3 = 1
      Call PlanRetry
      Pop $1
      ${If} $1 = 0
        ${If} $Phase = ${PELK_PHASE_FINISHED}
          StrCpy $Result complete
        ${ElseIf} $Cancelled = 1
          StrCpy $Result cancelled
        ${Else}
          StrCpy $0 $Phase
          StrCpy $1 "The download failed"
          Call Fail
        ${EndIf}
        Call EndDownload
      ${EndIf}
    ${EndIf}
    Call MeasureRate
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

Function FormatBytes
  Exch $0
  Push $1
  Push $2
  ${If} $0 L< 1024
    StrCpy $0 "$0 bytes"
  ${Else}
    ${If} $0 L< 1048576
      StrCpy $1 1024
      StrCpy $2 KiB
    ${ElseIf} $0 L< 1073741824
      StrCpy $1 1048576
      StrCpy $2 MiB
    ${Else}
      StrCpy $1 1073741824
      StrCpy $2 GiB
    ${EndIf}
    System::Int64Op $0 * 10
    Pop $0
    System::Int64Op $0 / $1
    Pop $0
    System::Int64Op $0 % 10
    Pop $1
    System::Int64Op $0 / 10
    Pop $0
    StrCpy $0 "$0.$1 $2"
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; ---- The page ----

Function DownloadPage
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 20u "Asking the distribution service for the newest version of $(^Name)..."
  Pop $Heading
  ${NSD_CreateProgressBar} 0 24u 100% 12u ""
  Pop $Bar
  SendMessage $Bar ${PBM_SETRANGE32} 0 1000
  ${NSD_CreateLabel} 0 42u 100% 10u ""
  Pop $Amount
  ${NSD_CreateLabel} 0 54u 100% 10u ""
  Pop $Speed
  ${NSD_CreateLabel} 0 68u 100% 30u ""
  Pop $Status
  ${NSD_CreateButton} 0 102u 80u 14u "Cancel download"
  Pop $CancelButton
  ${NSD_OnClick} $CancelButton OnCancelClick
  GetDlgItem $0 $HWNDPARENT 1  ; Next waits for the download's end
  EnableWindow $0 0
  Call Begin
  ${If} $State == end
    Call Finish
    StrCpy $State done
  ${EndIf}
  Call ShowPage
  ${NSD_CreateTimer} OnTimer 100
  nsDialogs::Show
FunctionEnd

Function OnCancelClick
  Pop $0  ; the button
  Call CancelDownload
  EnableWindow $CancelButton 0
  Call ShowPage
FunctionEnd

Function OnTimer
  Call Advance
  Call ShowPage
  ${If} $State == done
    ${NSD_KillTimer} OnTimer
    EnableWindow $CancelButton 0
    GetDlgItem $0 $HWNDPARENT 1
    EnableWindow $0 1
  ${EndIf}
FunctionEnd

; What the page shows: the product, the bytes and the total, the rate and the time left, the phase in words.
Function ShowPage
  ${If} $State != done
    ${If} $Product != ""
      ${NSD_SetText} $Heading "Downloading $Product"
    ${EndIf}
  ${ElseIf} $Result == failed
    ${NSD_SetText} $Heading "$(^Name) could not be downloaded"
  ${ElseIf} $Result == cancelled
    ${NSD_SetText} $Heading "The download of $(^Name) was cancelled"
  ${ElseIf} $Product == ""
    ${NSD_SetText} $Heading "There is nothing to download for $(^Name)"
  ${Else}
    ${NSD_SetText} $Heading "Downloaded $Product"
  ${EndIf}
  SendMessage $Bar ${PBM_SETPOS} $Permille 0
  ${FormatBytes} $Received $1
  IntOp $3 $Permille / 10
  ${If} $Phase = ${PELK_PHASE_VERIFYING}
  ${AndIf} $State == download
    StrCpy $1 "$1 received; $3% checked"
  ${ElseIf} $Total L> 0
    ${FormatBytes} $Total $2
    StrCpy $1 "$1 of $2 ($3%)"
  ${ElseIf} $Received L> 0
    StrCpy $1 "$1 received"
  ${Else}
    StrCpy $1 ""
  ${EndIf}
  ${NSD_SetText} $Amount $1
  Call ShowSpeed
  ${If} $State == done
    ${If} $Result == complete
    ${AndIf} $Message != ""
      StrCpy $1 "$Message."
    ${ElseIf} $Result == complete
      StrCpy $1 "Complete and verified: $Target"
    ${ElseIf} $Result == cancelled
      StrCpy $1 "Cancelled. The part downloaded so far is kept: run setup again to resume."
    ${Else}
      StrCpy $1 "$Message. Details are in $LogPath."
    ${EndIf}
  ${ElseIf} $State == pause
    ${TickCount} $0
    IntOp $0 $RetryAt - $0
    IntOp $0 $0 + 999
    IntOp $0 $0 / 1000
    StrCpy $1 "The connection broke off. Trying again in $0 s (attempt $Attempt of ${ATTEMPTS})..."
  ${ElseIf} $Cancelled = 1
    StrCpy $1 "Cancelling..."
  ${ElseIf} $State == query
    StrCpy $1 "Connecting to the distribution service..."
  ${ElseIf} $Phase = ${PELK_PHASE_RESUMING}
    StrCpy $1 "Resuming the partial file..."
  ${ElseIf} $Phase = ${PELK_PHASE_RECEIVING}
    StrCpy $1 "Receiving the file."
  ${ElseIf} $Phase = ${PELK_PHASE_VERIFYING}
    StrCpy $1 "Verifying the file's checksum..."
  ${Else}
    StrCpy $1 "Connecting to the download server..."
  ${EndIf}
  ${If} $Attempt > 1
  ${AndIf} $State == download
    StrCpy $1 "$1 (attempt $Attempt of ${ATTEMPTS})"
  ${EndIf}
  ${NSD_SetText} $Status $1
FunctionEnd

; "512.0 KiB/s, about 25 seconds left" while receiving, once the rate is measured; empty otherwise.
Function ShowSpeed
  StrCpy $1 ""
  ${If} $State == download
  ${AndIf} $Phase = ${PELK_PHASE_RECEIVING}
  ${AndIf} $Rate L> 0
    ${FormatBytes} $Rate $1
    StrCpy $1 "$1/s"
    ${If} $Total L> $Received
      System::Int64Op $Total - $Received
      Pop $2
      System::Int64Op $2 / $Rate
      Pop $2
      ${If} $2 L< 5
        StrCpy $1 "$1, a few seconds left"
      ${ElseIf} $2 L< 60
        IntOp $2 $2 + 4
        IntOp $2 $2 / 5
        IntOp $2 $2 * 5
        StrCpy $1 "$1, about $2 seconds left"
      ${ElseIf} $2 L< 90
        StrCpy $1 "$1, about a minute left"
      ${ElseIf} $2 L< 5400
        System::Int64Op $2 + 30
        Pop $2
        System::Int64Op $2 / 60
        Pop $2
        StrCpy $1 "$1, about $2 minutes left"
      ${Else}
        System::Int64Op $2 + 1800
        Pop $2
        System::Int64Op $2 / 3600
        Pop $2
        StrCpy $1 "$1, about $2 hours left"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${NSD_SetText} $Speed $1
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
  ${Else}
    DetailPrint "Download: $Result ($Target)"
  ${EndIf}
  ${If} $Result == complete
    SetErrorLevel 0
  ${ElseIf} $Result == cancelled
    SetErrorLevel 1
  ${Else}
    SetErrorLevel 2
  ${EndIf}
SectionEnd
