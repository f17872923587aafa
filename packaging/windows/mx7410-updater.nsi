; The Windows installer: the window, mx7410-flash.exe, the README with its
; documents and the licence notices, a Start-menu shortcut and an
; uninstaller. makensis -DSTAGE=<dir> -DVERSION=<v> -DOUTFILE=<file>;
; STAGE holds bin\, README.md, copyright.txt and docs\.
Unicode true
Target amd64-unicode
!include "x64.nsh"

Name "Mx7410 Updater"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Mx7410 Updater"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetOutPath "$INSTDIR"
  File "${STAGE}\bin\mx_7410Update.exe"
  File "${STAGE}\bin\mx7410-flash.exe"
  File "${STAGE}\README.md"
  File "${STAGE}\copyright.txt"
  ; The README's links point into docs\ beside it.
  SetOutPath "$INSTDIR\docs"
  File "${STAGE}\docs\*.*"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Mx7410 Updater"
  CreateShortcut "$SMPROGRAMS\Mx7410 Updater\Mx7410 Update.lnk" "$INSTDIR\mx_7410Update.exe"
  CreateShortcut "$SMPROGRAMS\Mx7410 Updater\Uninstall.lnk" "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater" "DisplayName" "Mx7410 Updater"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater" "UninstallString" '"$INSTDIR\Uninstall.exe"'
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\mx_7410Update.exe"
  Delete "$INSTDIR\mx7410-flash.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\copyright.txt"
  RMDir /r "$INSTDIR\docs"
  ; The settings the window wrote beside itself go with it.
  Delete "$INSTDIR\Comport.ini"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Mx7410 Updater\Mx7410 Update.lnk"
  Delete "$SMPROGRAMS\Mx7410 Updater\Uninstall.lnk"
  RMDir "$SMPROGRAMS\Mx7410 Updater"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Mx7410Updater"
SectionEnd
