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

!define MUI_ICON "${BUILD_DIR}\src\app\linkloader.ico"
!define MUI_UNICON "${BUILD_DIR}\src\app\linkloader.ico"
!define MUI_COMPONENTSPAGE_NODESC

Var LinkLoaderData
Var PathAction
Var PathScope
Var PathFolder
Var PathOptions
Var PathResult
Var ProgramRunning

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${SOURCE_DIR}\LICENSE"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\linkloader.exe"
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishPageShow
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "Your files were kept"
!define MUI_FINISHPAGE_TEXT "LinkLoader has been removed.$\r$\n$\r$\nYour EEPROM copies are still in $LinkLoaderData\eeprom (delete that folder yourself if you no longer need them). The COM port numbers of your adapters are kept by Windows (Device Manager, $\"Ports (COM & LPT)$\")."
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  ; MULTIUSER_INIT puts the install mode's folder into $INSTDIR, over the one /D= gave.
  StrCpy $0 $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${IfThen} $0 != "" ${|} StrCpy $INSTDIR $0 ${|}
FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro MULTIUSER_UNINIT
  ReadEnvStr $LinkLoaderData LOCALAPPDATA
  StrCpy $LinkLoaderData "$LinkLoaderData\${APP}"
FunctionEnd

; The finish page starts LinkLoader only where it would run as the user who is logged in. An
; installer with administrator rights (every all-users install, and a per-user one that an
; administrator's account elevated) would start it elevated, or as the administrator whose
; password was typed in: its EEPROM copies would go into that profile. Debian's NSIS has no
; plugin that starts a program with the desktop's own rights, so then the page offers no start.
Function FinishPageShow
  ${If} $MultiUser.Privileges == "Admin"
  ${OrIf} $MultiUser.Privileges == "Power"
    SendMessage $mui.FinishPage.Run ${BM_SETCHECK} ${BST_UNCHECKED} 0
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
    SendMessage $mui.FinishPage.Text ${WM_SETTEXT} 0 "STR:${APP} has been installed.$\r$\n$\r$\nStart it from the Start menu (${APP})."
  ${EndIf}
FunctionEnd

; The PATH editor (packaging/windows/path_entry.cpp) does the edit: an NSIS string ends at
; NSIS_MAX_STRLEN, and a longer PATH read into one comes back empty. It runs on $PathAction
; (add or remove), $PathScope (machine or user), $PathFolder and $PathOptions, and leaves its
; exit status in $PathResult: 0 changed, 1 nothing to change, 2 created the value, 3 left alone.
!macro PATH_EDITOR UN
  Function ${UN}EditPath
    InitPluginsDir
    File "/oname=$PLUGINSDIR\linkloader-path.exe" "${BUILD_DIR}\packaging\windows\linkloader-path.exe"
    nsExec::Exec '"$PLUGINSDIR\linkloader-path.exe" $PathAction $PathScope "$PathFolder" $PathOptions'
    Pop $PathResult
  FunctionEnd

  ; Sets $ProgramRunning to a program of the folder $0 that runs, or "". A running program
  ; cannot be opened for writing; it can be renamed, so a rename would prove nothing.
  Function ${UN}ProgramRunning
    StrCpy $ProgramRunning ""
    ${ForEach} $1 0 2 + 1
      ${If} $1 == 0
        StrCpy $2 "linkloader.exe"
      ${ElseIf} $1 == 1
        StrCpy $2 "linkloader-cli.exe"
      ${Else}
        StrCpy $2 "linkloader-hexfw.exe"
      ${EndIf}
      ${If} ${FileExists} "$0\$2"
        ClearErrors
        FileOpen $3 "$0\$2" a
        ${If} ${Errors}
          StrCpy $ProgramRunning $2
        ${Else}
          FileClose $3
        ${EndIf}
      ${EndIf}
    ${Next}
  FunctionEnd
!macroend
!insertmacro PATH_EDITOR ""
!insertmacro PATH_EDITOR "un."

; Takes FOLDER's entry off the PATH of SCOPE when the installation that registered under ROOT
; put it there (AddedToPath 2: it created the value, which then goes when nothing else is in it).
!macro RemovePathEntry UN ROOT SCOPE FOLDER
  ReadRegDWORD $0 ${ROOT} "${APP_KEY}" "AddedToPath"
  ${If} $0 == 1
  ${OrIf} $0 == 2
    StrCpy $PathAction remove
    StrCpy $PathScope ${SCOPE}
    StrCpy $PathFolder "${FOLDER}"
    StrCpy $PathOptions ""
    ${IfThen} $0 == 2 ${|} StrCpy $PathOptions "--delete-if-empty" ${|}
    Call ${UN}EditPath
    ${If} $PathResult != 0
    ${AndIf} $PathResult != 1
      DetailPrint "PATH was left as it is; remove ${FOLDER} from it yourself."
      MessageBox MB_OK|MB_ICONEXCLAMATION "PATH was left as it is: it could not be changed safely.$\r$\n$\r$\nRemove ${FOLDER} from it yourself (Start, $\"Edit environment variables$\", Path)." /SD IDOK
    ${EndIf}
    DeleteRegValue ${ROOT} "${APP_KEY}" "AddedToPath"
  ${EndIf}
!macroend

; Waits until no program of FOLDER runs. Cancel, and a silent run, end the installer or the
; uninstaller here, before it has removed anything.
!macro WaitUntilClosed UN FOLDER
  ${Do}
    StrCpy $0 "${FOLDER}"
    Call ${UN}ProgramRunning
    ${IfThen} $ProgramRunning == "" ${|} ${ExitDo} ${|}
    DetailPrint "$ProgramRunning is running from ${FOLDER}."
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "LinkLoader is running ($ProgramRunning in ${FOLDER}).$\r$\n$\r$\nClose it, then choose Retry. Nothing has been removed yet." /SD IDCANCEL IDRETRY`
      SetErrorLevel 2
      Abort "LinkLoader is running; nothing was removed."
    ${EndIf}
  ${Loop}
!macroend

; One installation at a time: an earlier one, in this folder or another, for this user or for
; all, is uninstalled first (its folder and PATH entry go), with its own uninstaller run in
; place. Its PATH entry is taken out here, so that an older uninstaller, which could not edit a
; long PATH, never touches it.
!macro RemovePrevious ROOT SCOPE MODE
  ReadRegStr $R0 ${ROOT} "${APP_KEY}" "InstallDir"
  ${If} $R0 != ""
  ${AndIf} ${FileExists} "$R0\uninstall.exe"
    !if ${ROOT} == HKLM
      ${If} $MultiUser.Privileges != "Admin"
      ${AndIf} $MultiUser.Privileges != "Power"
        MessageBox MB_OK|MB_ICONSTOP "${APP} is installed for all users in $R0.$\r$\n$\r$\nAn administrator must uninstall it first (Settings, Apps)." /SD IDOK
        Abort "${APP} is installed for all users in $R0."
      ${EndIf}
    !endif
    !insertmacro WaitUntilClosed "" "$R0"
    DetailPrint "Uninstalling the ${APP} in $R0"
    !insertmacro RemovePathEntry "" ${ROOT} ${SCOPE} "$R0"
    ExecWait '"$R0\uninstall.exe" /S /${MODE} _?=$R0' $R1
    ${If} $R1 != 0
      MessageBox MB_OK|MB_ICONSTOP "The ${APP} in $R0 could not be uninstalled. Uninstall it first (Settings, Apps)." /SD IDOK
      Abort "The ${APP} in $R0 could not be uninstalled."
    ${EndIf}
    ; Run in place, the uninstaller could not remove itself and its folder.
    Delete "$R0\uninstall.exe"
    RMDir "$R0"
  ${EndIf}
!macroend

Section "-Previous installation"
  !insertmacro RemovePrevious HKLM machine AllUsers
  !insertmacro RemovePrevious HKCU user CurrentUser
  !insertmacro WaitUntilClosed "" "$INSTDIR"
SectionEnd

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
  StrCpy $PathAction add
  StrCpy $PathScope user
  ${IfThen} $MultiUser.InstallMode == "AllUsers" ${|} StrCpy $PathScope machine ${|}
  StrCpy $PathFolder "$INSTDIR"
  StrCpy $PathOptions ""
  Call EditPath
  ${If} $PathResult == 0
    WriteRegDWORD SHCTX "${APP_KEY}" "AddedToPath" 1
  ${ElseIf} $PathResult == 2
    WriteRegDWORD SHCTX "${APP_KEY}" "AddedToPath" 2
  ${ElseIf} $PathResult == 1
    DetailPrint "PATH already names $INSTDIR."
  ${Else}
    DetailPrint "PATH was left as it is; add $INSTDIR to it yourself."
    MessageBox MB_OK|MB_ICONEXCLAMATION "PATH was left as it is: it could not be changed safely.$\r$\n$\r$\nTo run linkloader-cli and linkloader-hexfw by name in any console, add $INSTDIR to PATH yourself (Start, $\"Edit environment variables$\", Path, New), or use $\"${APP} command prompt$\" in the Start menu." /SD IDOK
  ${EndIf}
SectionEnd

Section "Uninstall"
  !insertmacro WaitUntilClosed un. "$INSTDIR"
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

  ${If} $MultiUser.InstallMode == "AllUsers"
    !insertmacro RemovePathEntry un. HKLM machine "$INSTDIR"
  ${Else}
    !insertmacro RemovePathEntry un. HKCU user "$INSTDIR"
  ${EndIf}

  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "${APP_KEY}"
  DetailPrint "Kept: your EEPROM copies in $LinkLoaderData\eeprom."
  DetailPrint "Kept: the COM port numbers of your adapters, which Windows remembers (Device Manager)."
SectionEnd
