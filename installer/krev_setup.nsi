; The Vyx installer: puts Krev and the programs it calls into C:\KREV, where PortalLaunch looks
; for \KREV\DefaultCheck.htm and Krev keeps Reader.ini and Ver.chk, and starts Krev with Windows.
; An administrator's install for the whole machine: the entry under HKLM, the shortcuts for all
; users, and C:\KREV's rights narrowed so that no user can replace what another user's logon runs.
;   makensis -DTARGET=x86-unicode -DPROGRAMS=<dist/win32> -DOUTFILE=<KrevSetup.exe> krev_setup.nsi
; The same script with TARGET=amd64-unicode and the x86_64 programs is the one the Wine tests run.

Unicode true
Target ${TARGET}
ManifestDPIAware true
ManifestSupportedOS all
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

; PRODUCT, PUBLISHER and VERSION come from the build, as every program's version resource does.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define ABOUT_CAPTION "About Vyx"
!define ID_EXIT 57665
; Rights, as security descriptors (SDDL). The folder: SYSTEM and Administrators have it whole,
; users may list it and create files in it (Krev deletes Ver.chk before Pellit.dll writes it
; anew), and every file created in it later may be read and written by users but run by no one,
; its owner included (OWNER RIGHTS keeps the owner from granting itself more): a DLL planted
; beside Krev is never loaded. Each installed file: users read and run it, only SYSTEM and
; Administrators change it. Both protected from what C:\ would pass on.
!define FOLDER_RIGHTS "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;;0x2;;;BU)(A;OIIO;0x13019f;;;SY)(A;OIIO;0x13019f;;;BA)(A;OIIO;0x13019f;;;BU)(A;OIIO;0x13019f;;;OW)"
!define PROGRAM_RIGHTS "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"
!define SE_FILE_OBJECT 1
!define DACL_PROTECTED 0x80000004

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

; Sets a file's or folder's rights from an SDDL text, replacing what it inherited.
!macro SetRights PATH SDDL
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${SDDL}", i 1, *p .r1, p 0) i .r0'
    ${If} $0 != 0
        System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r2, *p .r3, *i .r4) i .r0'
        System::Call 'advapi32::SetNamedSecurityInfoW(w "${PATH}", i ${SE_FILE_OBJECT}, i ${DACL_PROTECTED}, p 0, p 0, p r3, p 0) i .r0'
        System::Call 'kernel32::LocalFree(p r1)'
    ${EndIf}
!macroend

Section "Vyx"
    Call EndRunningKrev
    SetOutPath "$INSTDIR"
    !insertmacro SetRights "$INSTDIR" "${FOLDER_RIGHTS}"
    SetOverwrite on
    File "${PROGRAMS}\Krev.exe"
    File "${PROGRAMS}\Farrow.exe"
    File "${PROGRAMS}\PortalLaunch.exe"
    File "${PROGRAMS}\SC.dll"
    File "${PROGRAMS}\Pellit.dll"
    File "${PROGRAMS}\Go.dll"
    File "${PROGRAMS}\CloseKREV.exe"
    File "DefaultCheck.htm"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    !insertmacro SetRights "$INSTDIR\Krev.exe" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\Farrow.exe" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\PortalLaunch.exe" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\SC.dll" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\Pellit.dll" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\Go.dll" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\CloseKREV.exe" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\DefaultCheck.htm" "${PROGRAM_RIGHTS}"
    !insertmacro SetRights "$INSTDIR\Uninstall.exe" "${PROGRAM_RIGHTS}"

    ; The installing user's leftovers of an earlier per-user install: its entry and shortcuts
    ; would show Vyx twice and start a second Krev at logon.
    SetShellVarContext current
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    RMDir /r "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    SetShellVarContext all

    ; For all users. Shortcuts take the output folder as their working directory: Krev finds
    ; its files there.
    CreateShortCut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\Krev.exe"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\Krev.exe"
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

    ; Started from its folder, as the Startup shortcut starts it.
    Exec '"$INSTDIR\Krev.exe"'
SectionEnd

Section "Uninstall"
    ; Nothing is removed while a Krev runs from here: entry and shortcuts stay with the files.
    Call un.EndRunningKrev
    ; Shortcuts and the entry first: none of them may point at a removed program.
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    Delete "$INSTDIR\Krev.exe"
    Delete "$INSTDIR\Farrow.exe"
    Delete "$INSTDIR\PortalLaunch.exe"
    Delete "$INSTDIR\SC.dll"
    Delete "$INSTDIR\Pellit.dll"
    Delete "$INSTDIR\Go.dll"
    Delete "$INSTDIR\CloseKREV.exe"
    Delete "$INSTDIR\DefaultCheck.htm"
    Delete "$INSTDIR\Reader.ini"
    Delete "$INSTDIR\Ver.chk"
    Delete "$INSTDIR\Ver.chk.part"
    Delete "$INSTDIR\Uninstall.exe"
    ; Only when nothing else is left in it.
    RMDir "$INSTDIR"
SectionEnd
