; The Windows installer: per-machine, under Program Files\Quillon. Made by scripts/package-windows:
;   makensis -DVERSION=1.04 -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe> packaging/quillon.nsi
; The installed copy finds the marker "installed" beside its programs and keeps the user's
; settings in %APPDATA%\Quillon and its log in %LOCALAPPDATA%\Quillon: neither an update nor an
; uninstall touches them.
; A 64-bit installer for the 64-bit programs (it also runs where only 64-bit programs can).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon"
!define PUBLISHER "The Quillon authors"

Name "Quillon ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillon"
InstallDirRegKey HKLM "Software\Quillon" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_NUMBERS}"
VIAddVersionKey "ProductName" "Quillon"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Quillon ${VERSION} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "MIT License"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${STAGE}\LICENSE.txt"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Quillon"
  SetOutPath "$INSTDIR"
  ; A newer version over an older one replaces only these; the user's files are elsewhere.
  File "${STAGE}\quillon.exe"
  File "${STAGE}\quillon-cli.exe"
  File "${STAGE}\nivaload.sub"
  File "${STAGE}\README.txt"
  File "${STAGE}\README-station.txt"
  File "${STAGE}\LICENSE.txt"
  FileOpen $0 "$INSTDIR\installed" w
  FileWrite $0 "Installed by the Quillon setup: the settings are in %APPDATA%\Quillon, the log in %LOCALAPPDATA%\Quillon.$\r$\n"
  FileClose $0
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quillon.lnk" "$INSTDIR\quillon.exe"
  ; A console in the user's own folder, the station's options on it, ready for a station.
  CreateShortcut "$SMPROGRAMS\Quillon station.lnk" "$SYSDIR\cmd.exe" \
    '/k cd /d "%USERPROFILE%" && "$INSTDIR\quillon-cli.exe" station --help' "$INSTDIR\quillon-cli.exe" 0 \
    SW_SHOWNORMAL "" "A console for quillon-cli station"

  WriteRegStr HKLM "Software\Quillon" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quillon"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
  ; The programs and their shortcut go; %APPDATA%\Quillon and %LOCALAPPDATA%\Quillon stay.
  Delete "$INSTDIR\quillon.exe"
  Delete "$INSTDIR\quillon-cli.exe"
  Delete "$INSTDIR\nivaload.sub"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\README-station.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\installed"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quillon.lnk"
  Delete "$SMPROGRAMS\Quillon station.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Quillon"
SectionEnd
