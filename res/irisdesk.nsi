; The Windows installer: irisdesk.exe, vrx330ctl.exe, the Windows README and the licence
; into Program Files, a Start menu entry and an uninstaller. `/S` installs and uninstalls
; silently. Settings are not kept here: a program in Program Files keeps them per user, in
; %APPDATA%\IrisDesk\vrx330.ini, which the uninstaller leaves in place.
; makensis -DEXE=... -DCTL=... -DREADME=... -DLICENSE=... -DOUTFILE=... irisdesk.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\IrisDesk"

Name "IrisDesk (Kavro VRX-330 Control)"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\IrisDesk"
RequestExecutionLevel admin
VIProductVersion 1.0.0.1
VIAddVersionKey "ProductName" "Kavro VRX-330 Control"
VIAddVersionKey "FileDescription" "IrisDesk installer"
VIAddVersionKey "FileVersion" "1.0.0.1"
VIAddVersionKey "ProductVersion" "1.0.0.1"
VIAddVersionKey "LegalCopyright" "Kavro"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetRegView 64
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=irisdesk.exe" "${EXE}"
  File "/oname=vrx330ctl.exe" "${CTL}"
  File "/oname=README-Windows.txt" "${README}"
  File "/oname=LICENSE.txt" "${LICENSE}"
  ; The Linux README that earlier installers put here.
  Delete "$INSTDIR\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\IrisDesk.lnk" "$INSTDIR\irisdesk.exe"
  WriteRegStr HKLM "${KEY}" "DisplayName" "IrisDesk (Kavro VRX-330 Control)"
  WriteRegStr HKLM "${KEY}" "DisplayVersion" "1.0.0.1"
  WriteRegStr HKLM "${KEY}" "Publisher" "Kavro"
  WriteRegStr HKLM "${KEY}" "DisplayIcon" "$INSTDIR\irisdesk.exe"
  WriteRegStr HKLM "${KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\IrisDesk.lnk"
  Delete "$INSTDIR\irisdesk.exe"
  Delete "$INSTDIR\vrx330ctl.exe"
  Delete "$INSTDIR\README-Windows.txt"
  Delete "$INSTDIR\LICENSE.txt"
  ; A settings file someone placed beside the program is theirs: only an empty folder goes.
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${KEY}"
SectionEnd
