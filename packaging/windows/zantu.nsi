; The Windows installer of the programs: zantu-console.exe (the window),
; zantu-cli.exe and (with -DWITH_SIM) zantu-sim.exe, with a Start-menu folder
; and an uninstaller.
; 64-bit (a 32-bit installer stub does not run on a 64-bit-only system).
; makensis -DVERSION=1.2 -DBUILD=<folder of the .exe files> -DSOURCE=<source tree>
;          -DOUTFILE=<installer> zantu.nsi
; Silent: installer /S [/D=folder], uninstall.exe /S.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include "x64.nsh"
!include "MUI2.nsh"

!define APP "ZANTU-100 Service Console"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZantuConsole"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} installer"
VIAddVersionKey "LegalCopyright" "see copyright.txt"

!define MUI_ICON "${SOURCE}\resources\zantu-console.ico"
!define MUI_UNICON "${SOURCE}\resources\zantu-console.ico"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "${APP} needs 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Programs" SecPrograms
  SectionIn RO
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${BUILD}\zantu-console.exe"
  File "${BUILD}\zantu-cli.exe"
!ifdef WITH_SIM
  File "${BUILD}\zantu-sim.exe"
!endif
  File "/oname=README.md" "${SOURCE}\README.md"
  File "/oname=copyright.txt" "${SOURCE}\packaging\copyright"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${APP}"
  CreateShortcut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\zantu-console.exe" "" "$INSTDIR\zantu-console.exe" 0
  CreateShortcut "$SMPROGRAMS\${APP}\Start with the Simulated Module.lnk" "$INSTDIR\zantu-console.exe" \
    "--simulate" "$INSTDIR\zantu-console.exe" 0
  CreateShortcut "$SMPROGRAMS\${APP}\Uninstall ${APP}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zantu-console.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${APP}\${APP}.lnk"
  Delete "$SMPROGRAMS\${APP}\Start with the Simulated Module.lnk"
  Delete "$SMPROGRAMS\${APP}\Uninstall ${APP}.lnk"
  RMDir "$SMPROGRAMS\${APP}"
  Delete "$INSTDIR\zantu-console.exe"
  Delete "$INSTDIR\zantu-cli.exe"
  Delete "$INSTDIR\zantu-sim.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\copyright.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The user's own settings (the port assignments) and batch records stay.
SectionEnd
