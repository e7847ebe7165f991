; The Vyx installer: puts Krev and the programs it calls into C:\KREV, where PortalLaunch looks
; for \KREV\DefaultCheck.htm and Krev keeps Reader.ini and Ver.chk, and starts Krev with Windows.
; A per-user install: no administrator is needed, and Krev can write its settings in C:\KREV.
;   makensis -DTARGET=x86-unicode -DPROGRAMS=<dist/win32> -DOUTFILE=<KrevSetup.exe> krev_setup.nsi
; The same script with TARGET=amd64-unicode and the x86_64 programs is the one the Wine tests run.

Unicode true
Target ${TARGET}
!include MUI2.nsh

!define PRODUCT "Vyx"
!define PUBLISHER "Quenby"
!define VERSION "3.2.0.1"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define ABOUT_CAPTION "About Vyx"
!define ID_EXIT 57665

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "C:\KREV"
RequestExecutionLevel user
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

; Sends Exit to every window titled "About Vyx" (each running Krev) and waits up to ten seconds
; for them to go, so that no file of ours is in use while it is replaced or removed.
!macro EndRunningKrev UN
Function ${UN}EndRunningKrev
    Push $0
    Push $1
    StrCpy $1 0
    loop:
        FindWindow $0 "" "${ABOUT_CAPTION}"
        IntCmp $0 0 gone
        IntCmp $1 50 gone
        SendMessage $0 ${WM_COMMAND} ${ID_EXIT} 0 /TIMEOUT=2000
        Sleep 200
        IntOp $1 $1 + 1
        Goto loop
    gone:
    Sleep 500
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro EndRunningKrev ""
!insertmacro EndRunningKrev "un."

Section "Vyx"
    Call EndRunningKrev
    SetOutPath "$INSTDIR"
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

    ; Shortcuts take the output folder as their working directory: Krev finds its files there.
    SetShellVarContext current
    CreateShortCut "$SMSTARTUP\${PRODUCT}.lnk" "$INSTDIR\Krev.exe"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\Krev.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk" "$INSTDIR\PortalLaunch.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Krev.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

    ; Started from its folder, as the Startup shortcut starts it.
    Exec '"$INSTDIR\Krev.exe"'
SectionEnd

Section "Uninstall"
    Call un.EndRunningKrev
    ; Shortcuts and the entry first: none of them may point at a removed program.
    SetShellVarContext current
    Delete "$SMSTARTUP\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} 入口網站.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\移除 ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

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
