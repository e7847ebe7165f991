; The Vyx installer: puts Krev and the programs it calls into a folder of the product's name in
; the machine's program-files folder, which only administrators change, and starts Krev at every
; user's logon in that user's own working folder, %APPDATA%\Vyx (the user's Reader.ini and
; Ver.chk). C:\KREV, where PortalLaunch looks for \KREV\DefaultCheck.htm, keeps only that file:
; any user may create C:\KREV and make it lead anywhere, so it never holds a program, and the
; installer's helper reaches it only through a handle that no link redirects.
; An administrator's install for the whole machine: the entry under HKLM, the shortcuts for all
; users, and each user's folder prepared at their next logon (Active Setup).
;   makensis -DTARGET=x86-unicode -DPROGRAMS=<dist/win32> -DOUTFILE=<KrevSetup.exe> krev_setup.nsi
; The same script with TARGET=amd64-unicode and the x86_64 programs is the one the Wine tests
; run where the machine runs no 32-bit code.
;
; Exit codes of the installer and the uninstaller: 0 done; 3010 done at the next restart: another
; program holds a file of ours (it is named), so the whole new version replaces the earlier one
; (or the uninstaller removes what is held) when Windows restarts, and until then the earlier
; version runs whole; 2 nothing was changed: a program of ours did not end, a staging folder was
; not the installer's own, or a file could not be replaced and every replaced one was put back;
; 3 not an administrator; 4 /D= names a folder that is not directly in the program-files folder,
; a link, or a folder that holds files not ours; 6 files could not be put back (exactly those are
; named; the next install puts them back first); 7 the uninstaller could not remove everything
; (what is left is listed, and the entry stays while a file of ours is left).

Unicode true
Target ${TARGET}
ManifestDPIAware true
ManifestSupportedOS all
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include "${GENERATED}\installed_files.nsh"

; PRODUCT, PUBLISHER, VERSION and VERSION_COMMAS come from the build, as every program's version
; resource does.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; Windows runs StubPath once for each user at their logon, before the Startup items, whenever
; Version is newer than the one it ran for that user.
!define ACTIVE_SETUP_KEY "Software\Microsoft\Active Setup\Installed Components\${PRODUCT}"
; Where earlier installs put the programs; now only DefaultCheck.htm.
!define EARLIER_FOLDER "C:\KREV"
!if "${TARGET}" == "amd64-unicode"
    !define PROGRAM_FILES "$PROGRAMFILES64"
!else
    ; On 64-bit Windows, the 32-bit one, where 32-bit programs belong.
    !define PROGRAM_FILES "$PROGRAMFILES"
!endif

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; With a signing certificate the build names its signer: the uninstaller is signed before it is
; packed into the installer, and the installer once it is written. A signer that fails stops the
; build.
!ifdef SIGNER
    !uninstfinalize 'sh "${SIGNER}" "%1"' = 0
    !finalize 'sh "${SIGNER}" "%1"' = 0
!endif
InstallDir "${PROGRAM_FILES}\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1028 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1028 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1028 "LegalCopyright" "© ${PUBLISHER}"
VIAddVersionKey /LANG=1028 "FileDescription" "${PRODUCT} 安裝程式"
VIAddVersionKey /LANG=1028 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1028 "ProductVersion" "${VERSION}"

!define MUI_ICON "${PICTURES}\card_red.ico"
!define MUI_UNICON "${PICTURES}\card_red.ico"
!define MUI_FINISHPAGE_NOAUTOCLOSE
; Krev is started by the finish page's choice, for the user who owns the desktop; a silent
; install starts none (Krev starts at the next logon).
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "啟動 Vyx"
!define MUI_FINISHPAGE_RUN_FUNCTION StartKrevAsTheUser
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "TradChinese"

; A file that cannot be written stops the run; it is never skipped.
AllowSkipFiles off

; The helpers run from the installer's own temporary folder (no user can write there), never from
; a folder that is being changed: CloseKREV.exe ends our programs, SetupKREV.exe does the rest.
!macro Helpers UN
Function ${UN}PrepareHelpers
    InitPluginsDir
    File "/oname=$PLUGINSDIR\CloseKREV.exe" "${PROGRAMS}\CloseKREV.exe"
    File "/oname=$PLUGINSDIR\SetupKREV.exe" "${PROGRAMS}\SetupKREV.exe"
FunctionEnd

; The UTF-16 report that a helper wrote, one name to a line: into $R8.
Function ${UN}ReadReport
    Push $0
    Push $1
    StrCpy $R8 ""
    ClearErrors
    FileOpen $0 "$PLUGINSDIR\report.txt" r
    ${IfNot} ${Errors}
        ${Do}
            FileReadUTF16LE $0 $1
            ${If} ${Errors}
                ${ExitDo}
            ${EndIf}
            StrCpy $R8 "$R8$1"
        ${Loop}
        FileClose $0
    ${EndIf}
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro Helpers ""
!insertmacro Helpers "un."

; Runs a helper from the temporary folder with its report; the exit code into $0 (99 when it
; could not run).
!macro RunHelper UN PROGRAM ARGUMENTS
    Delete "$PLUGINSDIR\report.txt"
    ClearErrors
    ExecWait '"$PLUGINSDIR\${PROGRAM}" ${ARGUMENTS}' $0
    ${If} ${Errors}
        StrCpy $0 99
    ${EndIf}
    Call ${UN}ReadReport
!macroend

; Every program of ours that runs from $INSTDIR ends, in any session, so that no file of ours is
; in use while it is replaced or removed; first, while nothing is ended yet, CloseKREV.exe asks
; what else holds one of our files there. When one of ours does not end (Krev defers Exit while
; its version message box is open), the user is asked to retry; a silent run, or Cancel, ends
; with exit code 2 before anything changed. When another program holds a file, the user may
; retry (that program may end meanwhile); otherwise, and in a silent run, the run goes on, and
; what is held is replaced or removed at the next restart.
!macro EndRunningKrev UN VERB
Function ${UN}EndRunningKrev
    Push $0
    retry:
        !insertmacro RunHelper "${UN}" CloseKREV.exe '/installed "$INSTDIR" "$PLUGINSDIR\report.txt"'
        ${If} $0 == 0
            Goto ended
        ${ElseIf} $0 == 3
            DetailPrint "Vyx 的檔案正被其他程式使用：$R8"
            MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "以下程式正在使用 Vyx 的檔案，現在無法${VERB}它們：$\r$\n$R8$\r$\n請先結束這些程式，再按「重試」；按「取消」則在電腦下次重新啟動時${VERB}。" /SD IDCANCEL IDRETRY retry
            Goto ended
        ${Else}
            IfSilent stop
            MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Vyx 仍在執行，無法${VERB}它的檔案。請先關閉 Vyx 開啟的訊息視窗，再按「重試」；按「取消」則不做任何變更。" /SD IDCANCEL IDRETRY retry
        ${EndIf}
    stop:
        SetErrorLevel 2
        Quit
    ended:
    Pop $0
FunctionEnd
!macroend
!insertmacro EndRunningKrev "" "更新"
!insertmacro EndRunningKrev "un." "移除"

; An administrator's install: a user without the rights is told so, and a silent run ends with 3.
!macro RequireAdministrator UN MESSAGE
Function ${UN}.onInit
    SetShellVarContext all
    UserInfo::GetAccountType
    Pop $0
    StrCmp $0 "Admin" administrator
    IfSilent refuse
    MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}"
    refuse:
    SetErrorLevel 3
    Quit
    administrator:
    !if "${UN}" == ""
        Call KeepTheEarlierProgramFolder
    !endif
FunctionEnd
!macroend

; Without /D=, an upgrade stays in the folder of the install before it, unless that was C:\KREV.
Function KeepTheEarlierProgramFolder
    ${If} $INSTDIR != "${PROGRAM_FILES}\${PRODUCT}"
        Return
    ${EndIf}
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIf} $0 != "${EARLIER_FOLDER}"
        StrCpy $INSTDIR $0
    ${EndIf}
FunctionEnd
!insertmacro RequireAdministrator "" "安裝 Vyx 需要系統管理員權限。請以系統管理員身分重新執行安裝程式。"
!insertmacro RequireAdministrator "un" "移除 Vyx 需要系統管理員權限。請以系統管理員身分重新執行。"

; Only a folder of its own directly in the program-files folder, whose parents no user can
; change, and which is new, empty, or the one our entry names with nothing but our files in it:
; anything else stops the install with exit code 4 before anything is ended or changed.
Function CheckProgramFolder
    Push $0
    Push $1
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    !insertmacro RunHelper "" SetupKREV.exe '/check-folder "$INSTDIR" "$1"'
    Pop $1
    ${If} $0 != 0
        MessageBox MB_OK|MB_ICONSTOP "安裝程式只會把 Vyx 放在「${PROGRAM_FILES}」中屬於 Vyx 自己的資料夾（新的或空的資料夾，或 Vyx 原來的資料夾），不會使用「$INSTDIR」。請不要指定資料夾，或指定「${PROGRAM_FILES}」中新的資料夾。" /SD IDOK
        SetErrorLevel 4
        Quit
    ${EndIf}
    Pop $0
FunctionEnd

; Before anything is extracted: a swap that an earlier run left half done is made whole, one
; that waits for the restart is dropped (this install replaces it), and $INSTDIR\Update is an
; empty folder that only administrators and SYSTEM reach. A staging folder that is not the
; installer's own is refused, never emptied.
Function PrepareStaging
    Push $0
    CreateDirectory "$INSTDIR"
    !insertmacro RunHelper "" SetupKREV.exe '/stage "$INSTDIR" "$PLUGINSDIR\report.txt"'
    ${If} $0 == 6
        MessageBox MB_OK|MB_ICONSTOP "上次的更新沒有完成，且以下檔案無法還原，請關閉使用它們的程式後重新安裝 Vyx：$\r$\n$R8" /SD IDOK
        SetErrorLevel 6
        Quit
    ${ElseIf} $0 != 0
        MessageBox MB_OK|MB_ICONSTOP "「$INSTDIR」中的暫存資料夾不是安裝程式建立的，安裝程式不會使用或清除它，沒有做任何變更：$\r$\n$R8" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    Pop $0
FunctionEnd

; The extracted version, in $INSTDIR\Update, replaces the earlier one all together: now, or, when
; another program holds a file of ours, at the next restart ($R7 is then 3010).
Function UpdateProgramFolder
    Push $0
    !insertmacro RunHelper "" SetupKREV.exe '/update "$INSTDIR" "$PLUGINSDIR\report.txt"'
    ${If} $0 == 3010
        DetailPrint "以下檔案正被其他程式使用，電腦重新啟動時，Vyx 的所有檔案會一起更新：$R8"
        SetRebootFlag true
        StrCpy $R7 3010
    ${ElseIf} $0 == 6
        MessageBox MB_OK|MB_ICONSTOP "無法更新 Vyx，且以下檔案無法還原為原來的版本，請重新安裝：$\r$\n$R8" /SD IDOK
        SetErrorLevel 6
        Quit
    ${ElseIf} $0 != 0
        MessageBox MB_OK|MB_ICONSTOP "無法更新 Vyx 的檔案，所有檔案都保持原來的版本，沒有做任何變更：$\r$\n$R8" /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
    Pop $0
FunctionEnd

; C:\KREV: DefaultCheck.htm where it is missing, and nothing else of ours. A link or a junction
; there is left alone, and said so in the log.
Function KeepOnlyDataInTheEarlierFolder
    Push $0
    !insertmacro RunHelper "" SetupKREV.exe '/data-folder "$INSTDIR" "$PLUGINSDIR\report.txt"'
    ${If} $0 == 1
        DetailPrint "「${EARLIER_FOLDER}」是檔案，或是指向別處的連結：安裝程式沒有使用它，PortalLaunch 會在其他磁碟機尋找 DefaultCheck.htm。"
    ${ElseIf} $0 != 0
        DetailPrint "「${EARLIER_FOLDER}」中無法移除的舊檔案：$R8"
    ${EndIf}
    Pop $0
FunctionEnd

; A file of ours that the uninstaller can remove neither now nor at the next restart (one that
; another program holds goes then) is listed in $R9.
!macro RemoveOurFile PATH
    ClearErrors
    Delete /REBOOTOK "${PATH}"
    ${If} ${Errors}
        StrCpy $R9 "$R9$\r$\n${PATH}"
    ${EndIf}
!macroend

Section "Vyx"
    Call PrepareHelpers
    Call CheckProgramFolder
    Call EndRunningKrev
    ; An earlier install's programs in C:\KREV end too (a link there ends nothing); whatever of
    ; them does not end keeps its files there, and nothing else depends on it.
    ExecWait '"$PLUGINSDIR\CloseKREV.exe" /installed "${EARLIER_FOLDER}"'

    ; The new version beside the earlier one, until it replaces it all together.
    StrCpy $R7 0
    Call PrepareStaging
    SetOutPath "$INSTDIR\Update"
    SetOverwrite on
    !insertmacro ExtractPrograms
    File "DefaultCheck.htm"
    WriteUninstaller "$INSTDIR\Update\Uninstall.exe"
    SetOutPath "$INSTDIR"
    Call UpdateProgramFolder
    Call KeepOnlyDataInTheEarlierFolder

    ; The installing user's leftovers of an earlier per-user install: its entry here, its
    ; shortcuts by SetupKREV.exe /user below, which removes only our names and follows no link
    ; (the user's Start menu is theirs to arrange).
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    ; Every other user's working folder is prepared at their next logon; the installing user's now.
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "" "${PRODUCT}"
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "StubPath" '"$INSTDIR\SetupKREV.exe" /user'
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "Version" "${VERSION_COMMAS}"
    WriteRegDWORD HKLM "${ACTIVE_SETUP_KEY}" "IsInstalled" 1
    ExecWait '"$INSTDIR\SetupKREV.exe" /user'

    ; For all users (an earlier install's shortcuts of the same names are replaced). Krev starts
    ; through SetupKREV.exe, which prepares the user's folder (also when the user removed it)
    ; and starts Krev there.
    CreateShortCut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\SetupKREV.exe" "/start" "$INSTDIR\Krev.exe" 0
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\SetupKREV.exe" "/start" "$INSTDIR\Krev.exe" 0
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk" "$INSTDIR\PortalLaunch.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Krev.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "${WEB_SCHEME}://${WEB_SERVER}/"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

    ; Deployment tools take 3010 (ERROR_SUCCESS_REBOOT_REQUIRED) as done once Windows restarts.
    ${If} $R7 == 3010
        MessageBox MB_OK|MB_ICONINFORMATION "Vyx 的檔案正被其他程式使用。電腦下次重新啟動時，Vyx 的更新就會完成；在那之前，仍會使用原來的版本。" /SD IDOK
        SetErrorLevel 3010
    ${EndIf}
SectionEnd

; Not as this elevated installer (every card would open the browser elevated, and Explorer's
; messages could not reach Krev): as the user who owns the desktop, with that user's own rights
; and folder, or not now.
Function StartKrevAsTheUser
    Exec '"$INSTDIR\SetupKREV.exe" /start-as-user'
FunctionEnd

Section "Uninstall"
    Call un.PrepareHelpers
    ; Nothing is removed while a Krev runs from here; what another program holds goes at the
    ; next restart.
    Call un.EndRunningKrev
    StrCpy $R9 ""
    ; The staging folders by our names alone, and a swap waiting for the restart dropped.
    !insertmacro RunHelper "un." SetupKREV.exe '/remove-staging "$INSTDIR" "$PLUGINSDIR\report.txt"'
    ${If} $0 != 0
        StrCpy $R9 "$R9$\r$\n$R8"
    ${EndIf}
    ; Nothing may start what is being removed.
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"

    !insertmacro RemovePrograms
    !insertmacro RemoveOurFile "$INSTDIR\StartingReader.ini"

    ; The uninstalling user's own folder (a link there is left alone), and C:\KREV's
    ; DefaultCheck.htm. Other users' folders stay in their profiles.
    SetShellVarContext current
    !insertmacro RunHelper "un." SetupKREV.exe '/remove-user "$PLUGINSDIR\report.txt"'
    ${If} $0 != 0
        StrCpy $R9 "$R9$\r$\n$R8"
    ${EndIf}
    DeleteRegKey HKCU "${ACTIVE_SETUP_KEY}"
    SetShellVarContext all
    !insertmacro RunHelper "un." SetupKREV.exe '/remove-data "$PLUGINSDIR\report.txt"'
    ${If} $0 != 0
        StrCpy $R9 "$R9$\r$\n$R8"
    ${EndIf}

    ; The entry and the uninstaller stay while a file of ours is left, so that it can be removed
    ; later; what goes at the next restart is not left.
    ${If} $R9 == ""
        Delete /REBOOTOK "$INSTDIR\Uninstall.exe"
        RMDir /REBOOTOK "$INSTDIR"
        DeleteRegKey HKLM "${UNINSTALL_KEY}"
        ${If} ${FileExists} "$INSTDIR\*.*"
        ${AndIfNot} ${RebootFlag}
            StrCpy $R9 "$\r$\n$INSTDIR"
        ${EndIf}
    ${EndIf}
    ${If} $R9 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "Vyx 無法移除以下項目（它們可能正被使用，或資料夾中還有別的檔案）：$R9" /SD IDOK
        SetErrorLevel 7
    ${ElseIf} ${RebootFlag}
        MessageBox MB_OK|MB_ICONINFORMATION "有些 Vyx 的檔案正被其他程式使用，電腦下次重新啟動時會移除它們。" /SD IDOK
        SetErrorLevel 3010
    ${EndIf}
SectionEnd
