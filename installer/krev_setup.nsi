; The Vyx installer: puts Krev and the programs it calls into C:\KREV (where PortalLaunch looks
; for \KREV\DefaultCheck.htm), and starts Krev at every user's logon in that user's own working
; folder, %APPDATA%\Vyx, which holds the user's Reader.ini and Ver.chk.
; An administrator's install for the whole machine: the entry under HKLM, the shortcuts for all
; users, the program folder owned by Administrators and changed by no user, and each user's
; folder prepared at their next logon (Active Setup).
;   makensis -DTARGET=x86-unicode -DPROGRAMS=<dist/win32> -DOUTFILE=<KrevSetup.exe> krev_setup.nsi
; The same script with TARGET=amd64-unicode and the x86_64 programs is the one the Wine tests run.
;
; Exit codes of the installer and the uninstaller: 0 done; 2 a Krev did not end, nothing was
; changed; 3 not an administrator; 4 the program folder is a file or a link that leads elsewhere;
; 5 the program folder holds what is not Vyx's; 6 the program folder's owner or rights could not
; be set (4 to 6: nothing was extracted); 7 the uninstaller could not remove everything (what is
; left is listed, and the entry stays while a file of ours is left).

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
!define ABOUT_CAPTION "About Vyx"
!define ID_EXIT 57665

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "C:\KREV"
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
; Krev is started by the finish page's choice, as the logged-on user; a silent install starts
; none (Krev starts at the next logon).
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "啟動 Vyx"
!define MUI_FINISHPAGE_RUN_FUNCTION StartKrevAsTheUser
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "TradChinese"

; A file that cannot be replaced or removed stops the run; it is never skipped.
AllowSkipFiles off

; Ends every Krev started from $INSTDIR, in any session, and waits for the processes, so that no
; file of ours is in use while it is replaced or removed: CloseKREV.exe (the installer's own copy)
; does it. When one does not end (Krev defers Exit while its version message box is open), the
; user is asked to retry; a silent run, or Cancel, ends with exit code 2 before anything changed.
!macro EndRunningKrev UN MESSAGE
Function ${UN}EndRunningKrev
    Push $0
    InitPluginsDir
    File "/oname=$PLUGINSDIR\CloseKREV.exe" "${PROGRAMS}\CloseKREV.exe"
    retry:
        ClearErrors
        ExecWait '"$PLUGINSDIR\CloseKREV.exe" /installed "$INSTDIR"' $0
        IfErrors stillRunning
        IntCmp $0 0 ended
    stillRunning:
        IfSilent stop
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${MESSAGE}" /SD IDCANCEL IDRETRY retry
    stop:
        SetErrorLevel 2
        Quit
    ended:
    Pop $0
FunctionEnd
!macroend
!insertmacro EndRunningKrev "" "Vyx 仍在執行，無法更新它的檔案。請先關閉 Vyx 開啟的訊息視窗，再按「重試」；按「取消」則結束安裝，不做任何變更。"
!insertmacro EndRunningKrev "un." "Vyx 仍在執行，無法移除它的檔案。請先關閉 Vyx 開啟的訊息視窗，再按「重試」；按「取消」則停止移除，不做任何變更。"

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
FunctionEnd
!macroend
!insertmacro RequireAdministrator "" "安裝 Vyx 需要系統管理員權限。請以系統管理員身分重新執行安裝程式。"
!insertmacro RequireAdministrator "un" "移除 Vyx 需要系統管理員權限。請以系統管理員身分重新執行。"

; The program folder owned by Administrators, with only their and SYSTEM's rights to change it:
; SetupKREV.exe (the installer's own copy) checks and secures the folder and everything in it.
; Run before any file is extracted, and again after, for each extracted file. It refuses a
; folder that is a link or holds what is not ours, and stops at the first call that fails;
; then the install ends here, with its exit code, before it changes anything more.
Function SecureProgramFolder
    Push $0
    Push $1
    Push $2
    Push $3
    InitPluginsDir
    File "/oname=$PLUGINSDIR\SetupKREV.exe" "${PROGRAMS}\SetupKREV.exe"
    Delete "$PLUGINSDIR\refused.txt"
    ClearErrors
    ExecWait '"$PLUGINSDIR\SetupKREV.exe" /machine "$INSTDIR" "$PLUGINSDIR\refused.txt"' $0
    ${If} ${Errors}
        StrCpy $0 6
    ${EndIf}
    ${If} $0 != 0
        StrCpy $1 ""
        ClearErrors
        FileOpen $2 "$PLUGINSDIR\refused.txt" r
        ${IfNot} ${Errors}
            ${Do}
                FileReadUTF16LE $2 $3
                ${If} ${Errors}
                    ${ExitDo}
                ${EndIf}
                StrCpy $1 "$1$3"
            ${Loop}
            FileClose $2
        ${EndIf}
        ${If} $0 == 4
            MessageBox MB_OK|MB_ICONSTOP "「$INSTDIR」是檔案，或是指向別處的連結，安裝程式不會使用它。請移除它後再安裝。" /SD IDOK
        ${ElseIf} $0 == 5
            MessageBox MB_OK|MB_ICONSTOP "「$INSTDIR」中有不屬於 Vyx 的項目，安裝程式不會使用這個資料夾：$\r$\n$1$\r$\n請確認並移走它們後再安裝。" /SD IDOK
        ${Else}
            MessageBox MB_OK|MB_ICONSTOP "無法設定「$INSTDIR」的擁有者或權限，安裝已停止：$\r$\n$1" /SD IDOK
        ${EndIf}
        SetErrorLevel $0
        Quit
    ${EndIf}
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

; A file of ours that the uninstaller could not remove is listed in $R9.
!macro RemoveOurFile PATH
    Delete "${PATH}"
    ${If} ${FileExists} "${PATH}"
        StrCpy $R9 "$R9$\r$\n${PATH}"
    ${EndIf}
!macroend

Section "Vyx"
    Call EndRunningKrev
    Call SecureProgramFolder
    SetOutPath "$INSTDIR"
    SetOverwrite on
    !insertmacro ExtractPrograms
    File "DefaultCheck.htm"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    Call SecureProgramFolder

    ; The installing user's leftovers of an earlier per-user install: its entry and shortcuts
    ; would show Vyx twice and start a second Krev at logon.
    SetShellVarContext current
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    RMDir /r "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    SetShellVarContext all

    ; Every other user's working folder is prepared at their next logon; the installing user's now.
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "" "${PRODUCT}"
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "StubPath" '"$INSTDIR\SetupKREV.exe" /user'
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "Version" "${VERSION_COMMAS}"
    WriteRegDWORD HKLM "${ACTIVE_SETUP_KEY}" "IsInstalled" 1
    ExecWait '"$INSTDIR\SetupKREV.exe" /user'

    ; For all users. Krev starts through SetupKREV.exe, which prepares the user's folder (also
    ; when the user removed it) and starts Krev there.
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
    WriteRegStr HKLM "${UNINSTALL_KEY}" "URLInfoAbout" "http://${WEB_SERVER}/"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    IntFmt $0 "0x%08X" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

SectionEnd

; Not as this elevated installer (every card would open the browser elevated, and Explorer's
; messages could not reach Krev): as the user who is logged on, with that user's own rights and
; folder.
Function StartKrevAsTheUser
    Exec '"$INSTDIR\SetupKREV.exe" /start-as-user'
FunctionEnd

Section "Uninstall"
    ; Nothing is removed while a Krev runs from here.
    Call un.EndRunningKrev
    ; Nothing may start what is being removed.
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"

    StrCpy $R9 ""
    !insertmacro RemovePrograms
    !insertmacro RemoveOurFile "$INSTDIR\StartingReader.ini"
    ; An earlier install's shared settings.
    !insertmacro RemoveOurFile "$INSTDIR\Reader.ini"
    !insertmacro RemoveOurFile "$INSTDIR\Ver.chk"
    !insertmacro RemoveOurFile "$INSTDIR\Ver.chk.part"

    ; The uninstalling user's own folder. Other users' folders stay in their profiles.
    SetShellVarContext current
    !insertmacro RemoveOurFile "$APPDATA\${PRODUCT}\Reader.ini"
    !insertmacro RemoveOurFile "$APPDATA\${PRODUCT}\Ver.chk"
    !insertmacro RemoveOurFile "$APPDATA\${PRODUCT}\Ver.chk.part"
    !insertmacro RemoveOurFile "$APPDATA\${PRODUCT}\DefaultCheck.htm"
    RMDir "$APPDATA\${PRODUCT}"
    DeleteRegKey HKCU "${ACTIVE_SETUP_KEY}"
    SetShellVarContext all

    ; The entry and the uninstaller stay while a file of ours is left, so that it can be removed
    ; later.
    ${If} $R9 == ""
        Delete "$INSTDIR\Uninstall.exe"
        RMDir "$INSTDIR"
        DeleteRegKey HKLM "${UNINSTALL_KEY}"
        ${If} ${FileExists} "$INSTDIR\*.*"
            StrCpy $R9 "$\r$\n$INSTDIR"
        ${EndIf}
    ${EndIf}
    ${If} $R9 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "Vyx 無法移除以下項目（它們可能正被使用，或資料夾中還有別的檔案）：$R9" /SD IDOK
        SetErrorLevel 7
    ${EndIf}
SectionEnd
