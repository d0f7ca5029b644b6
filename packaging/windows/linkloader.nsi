; SPDX-License-Identifier: GPL-3.0-or-later
; The Windows installer (scripts/package-windows.sh builds it with makensis). Defines it expects:
; VERSION (x.y.z), BUILD_DIR (the windows-app build), SOURCE_DIR (the clone), OUTFILE.
; The uninstaller removes exactly what this installer put on the machine; the user's own data
; under %LOCALAPPDATA%\LinkLoader (EEPROM copies) was never the installer's and stays.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "LinkLoader"
!define APP_KEY "Software\LinkLoader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\LinkLoader"
!define ENV_KEY_USER "Environment"
!define ENV_KEY_MACHINE "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define FILE_CLASS "LinkLoader.hexfw"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${APP} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "GPL-3.0-or-later"

; For this user (no administrator needed) or for everyone (asks for administrator rights); the
; page lets the user choose, /CurrentUser or /AllUsers choose on the command line.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${APP}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${APP_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${APP_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include StrFunc.nsh
${Using:StrFunc} StrStr
${Using:StrFunc} UnStrRep

!define MUI_ICON "${BUILD_DIR}\src\app\linkloader.ico"
!define MUI_UNICON "${BUILD_DIR}\src\app\linkloader.ico"
!define MUI_COMPONENTSPAGE_NODESC

Var LinkLoaderData

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${SOURCE_DIR}\LICENSE"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\linkloader.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "Your files were kept"
!define MUI_FINISHPAGE_TEXT "LinkLoader has been removed.$\r$\n$\r$\nYour EEPROM copies are still in $LinkLoaderData\eeprom (delete that folder yourself if you no longer need them). The COM port numbers of your adapters are kept by Windows (Device Manager, $\"Ports (COM & LPT)$\")."
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro MULTIUSER_UNINIT
  ReadEnvStr $LinkLoaderData LOCALAPPDATA
  StrCpy $LinkLoaderData "$LinkLoaderData\${APP}"
FunctionEnd

; The environment block of this install mode: the user's own, or the machine's.
!macro EnvironmentKey ROOT KEY
  ${If} $MultiUser.InstallMode == "AllUsers"
    StrCpy ${ROOT} "HKLM"
    StrCpy ${KEY} "${ENV_KEY_MACHINE}"
  ${Else}
    StrCpy ${ROOT} "HKCU"
    StrCpy ${KEY} "${ENV_KEY_USER}"
  ${EndIf}
!macroend

Section "LinkLoader (window and command-line programs)" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}\src\app\linkloader.exe"
  File "${BUILD_DIR}\tools\cli\linkloader-cli.exe"
  File "${BUILD_DIR}\tools\hexfw\linkloader-hexfw.exe"
  File "${BUILD_DIR}\src\app\linkloader.ico"
  File "/oname=LICENSE.txt" "${SOURCE_DIR}\LICENSE"
  File "/oname=README.txt" "${SOURCE_DIR}\packaging\windows\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${APP}"
  CreateShortcut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\linkloader.exe" "" "$INSTDIR\linkloader.ico" 0
  ; A console where the command-line programs answer by name, whether or not they are on PATH.
  CreateShortcut "$SMPROGRAMS\${APP}\${APP} command prompt.lnk" "$SYSDIR\cmd.exe" \
    '/k "set PATH=$INSTDIR;%PATH%&& cd /d %USERPROFILE% && linkloader-cli --help"' "$INSTDIR\linkloader.ico" 0

  WriteRegStr SHCTX "${APP_KEY}" "InstallMode" "$MultiUser.InstallMode"
  WriteRegStr SHCTX "${APP_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\linkloader.ico"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "The LinkLoader developers"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Open .hexfw files with LinkLoader" SecAssociate
  WriteRegStr SHCTX "Software\Classes\.hexfw" "" "${FILE_CLASS}"
  WriteRegStr SHCTX "Software\Classes\${FILE_CLASS}" "" "LinkLoader firmware"
  WriteRegStr SHCTX "Software\Classes\${FILE_CLASS}\DefaultIcon" "" "$INSTDIR\linkloader.exe,0"
  WriteRegStr SHCTX "Software\Classes\${FILE_CLASS}\shell\open\command" "" '"$INSTDIR\linkloader.exe" "%1"'
  WriteRegDWORD SHCTX "${APP_KEY}" "AssociatedHexfw" 1
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
SectionEnd

Section "Command-line programs on PATH" SecPath
  !insertmacro EnvironmentKey $R8 $R9
  ${If} $R8 == "HKLM"
    ReadRegStr $0 HKLM "${ENV_KEY_MACHINE}" "Path"
  ${Else}
    ReadRegStr $0 HKCU "${ENV_KEY_USER}" "Path"
  ${EndIf}
  ; A longer PATH than the installer can hold would come back cut short: leave it alone.
  StrLen $1 "$0;$INSTDIR"
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    DetailPrint "PATH is too long to extend safely; add $INSTDIR to it yourself."
    MessageBox MB_OK|MB_ICONEXCLAMATION "PATH is too long to extend safely; add $INSTDIR to it yourself." /SD IDOK
    Goto done
  ${EndIf}
  ${StrStr} $2 ";$0;" ";$INSTDIR;"
  ${If} $2 != ""
    Goto done
  ${EndIf}
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR"
  ${Else}
    StrCpy $0 "$0;$INSTDIR"
  ${EndIf}
  ${If} $R8 == "HKLM"
    WriteRegExpandStr HKLM "${ENV_KEY_MACHINE}" "Path" "$0"
  ${Else}
    WriteRegExpandStr HKCU "${ENV_KEY_USER}" "Path" "$0"
  ${EndIf}
  WriteRegDWORD SHCTX "${APP_KEY}" "AddedToPath" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
  done:
SectionEnd

Section "Uninstall"
  ; What the installer wrote, and nothing else.
  Delete "$INSTDIR\linkloader.exe"
  Delete "$INSTDIR\linkloader-cli.exe"
  Delete "$INSTDIR\linkloader-hexfw.exe"
  Delete "$INSTDIR\linkloader.ico"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}\${APP}.lnk"
  Delete "$SMPROGRAMS\${APP}\${APP} command prompt.lnk"
  RMDir "$SMPROGRAMS\${APP}"

  ReadRegDWORD $0 SHCTX "${APP_KEY}" "AssociatedHexfw"
  ${If} $0 == 1
    ; Another program may have taken .hexfw over since; then it keeps it.
    ReadRegStr $1 SHCTX "Software\Classes\.hexfw" ""
    ${If} $1 == "${FILE_CLASS}"
      DeleteRegKey SHCTX "Software\Classes\.hexfw"
    ${EndIf}
    DeleteRegKey SHCTX "Software\Classes\${FILE_CLASS}"
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
  ${EndIf}

  ReadRegDWORD $0 SHCTX "${APP_KEY}" "AddedToPath"
  ${If} $0 == 1
    !insertmacro EnvironmentKey $R8 $R9
    ${If} $R8 == "HKLM"
      ReadRegStr $1 HKLM "${ENV_KEY_MACHINE}" "Path"
    ${Else}
      ReadRegStr $1 HKCU "${ENV_KEY_USER}" "Path"
    ${EndIf}
    StrLen $2 $1
    ${If} $2 < ${NSIS_MAX_STRLEN}
      ; Remove the one entry, wherever it stands, and the separator that came with it.
      ${UnStrRep} $1 ";$1;" ";$INSTDIR;" ";"
      StrCpy $1 $1 "" 1
      StrCpy $1 $1 -1
      ${If} $R8 == "HKLM"
        ${If} $1 == ""
          DeleteRegValue HKLM "${ENV_KEY_MACHINE}" "Path"
        ${Else}
          WriteRegExpandStr HKLM "${ENV_KEY_MACHINE}" "Path" "$1"
        ${EndIf}
      ${Else}
        ${If} $1 == ""
          DeleteRegValue HKCU "${ENV_KEY_USER}" "Path"
        ${Else}
          WriteRegExpandStr HKCU "${ENV_KEY_USER}" "Path" "$1"
        ${EndIf}
      ${EndIf}
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=2000
    ${Else}
      DetailPrint "PATH is too long to edit safely; remove $INSTDIR from it yourself."
    ${EndIf}
  ${EndIf}

  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "${APP_KEY}"
  DetailPrint "Kept: your EEPROM copies in $LinkLoaderData\eeprom."
  DetailPrint "Kept: the COM port numbers of your adapters, which Windows remembers (Device Manager)."
SectionEnd
