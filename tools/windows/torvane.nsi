; Torvane's installer: per user, no administrator. The programs go to
; %LOCALAPPDATA%\Programs\Torvane; the Start-menu entry starts Torvane in
; %APPDATA%\Torvane, where it keeps Torvane.ini. The uninstaller removes the
; programs and the entry and leaves the settings.
; makensis -DVERSION=x.y.z -DSTAGE=<folder of the zip> -DICON=<.ico> -DOUTFILE=<setup.exe>

; A 64-bit installer for 64-bit programs (and for a Wine without its 32-bit half).
Target amd64-unicode
!include "MUI2.nsh"

Name "Torvane ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Torvane"
InstallDirRegKey HKCU "Software\Torvane" "InstallDir"
SetCompressor /SOLID lzma

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Torvane"

Section "Torvane"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The working folder: Torvane.ini is read and written there.
  CreateDirectory "$APPDATA\Torvane"
  SetOutPath "$APPDATA\Torvane"
  CreateShortCut "$SMPROGRAMS\Torvane.lnk" "$INSTDIR\torvane.exe" "" "$INSTDIR\torvane.exe" 0

  WriteRegStr HKCU "Software\Torvane" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Torvane"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Torvane"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\torvane.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\Torvane.lnk"
  ; What the installer put there, not whatever else the folder holds.
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\licenses"
  Delete "$INSTDIR\*.exe"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\README.md"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "Software\Torvane"
SectionEnd
