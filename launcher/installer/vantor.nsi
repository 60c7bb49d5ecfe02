; The Windows installer: per user, into the local application data folder,
; so the launcher's self-update never needs an administrator.
;
;   makensis -DLAUNCHER_EXE=path\vantor-launcher.exe -DFEED=https://... \
;            [-DREF=campaign] -DOUTFILE=VantorSetup.exe vantor.nsi
;
; Installs vantor-launcher.exe with update.json (the feed) and install.json
; (the install reference) beside it, the uninstaller unins000.exe that the
; page's Uninstall starts, a Start menu entry and the uninstall entry the
; launcher keeps the size of (EstimatedSize). /S installs and uninstalls
; silently; a silent install does not start the launcher.
Unicode true
; A 64-bit installer, as the launcher is (and wine64 alone runs it).
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestSupportedOS all

!ifndef LAUNCHER_EXE
  !error "Define LAUNCHER_EXE, the launcher to install"
!endif
!ifndef FEED
  !define FEED ""
!endif
!ifndef REF
  !define REF ""
!endif
!ifndef OUTFILE
  !define OUTFILE "VantorSetup.exe"
!endif
!define VERSION "1.0.0"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantor_is1"

!include "FileFunc.nsh"
!include "LogicLib.nsh"

Name "Astrane: Vantor"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Vantor"
BrandingText "VantorSetup ${VERSION}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Waits up to 10 s for a running launcher to end (it closes itself after
; starting the uninstaller), so its files can go.
!macro WaitForLauncher
  StrCpy $1 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Local\Vantor.Launcher") p .r0'
    ${If} $0 P= 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r0)'
    IntOp $1 $1 + 1
    ${If} $1 > 40
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
!macroend

Section "Launcher"
  !insertmacro WaitForLauncher
  SetOutPath "$INSTDIR"
  File "/oname=vantor-launcher.exe" "${LAUNCHER_EXE}"
  ; Only existence marks the copy installed; the launcher reads "feed" and "ref".
  FileOpen $0 "$INSTDIR\update.json" w
  FileWrite $0 '{$\r$\n  "feed": "${FEED}"$\r$\n}$\r$\n'
  FileClose $0
  FileOpen $0 "$INSTDIR\install.json" w
  FileWrite $0 '{$\r$\n  "ref": "${REF}"$\r$\n}$\r$\n'
  FileClose $0
  WriteUninstaller "$INSTDIR\unins000.exe"

  CreateShortcut "$SMPROGRAMS\Astrane Vantor.lnk" "$INSTDIR\vantor-launcher.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Astrane: Vantor"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Astrane"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vantor-launcher.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\unins000.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\unins000.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ; KiB, as the launcher refreshes it after each game install or update.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ${IfNot} ${Silent}
    Exec '"$INSTDIR\vantor-launcher.exe" --first-run'
  ${EndIf}
SectionEnd

Section "Uninstall"
  !insertmacro WaitForLauncher
  ; The game lives in the launcher's folder; saves and settings live in the
  ; data folders and stay unless the player says otherwise.
  RMDir /r "$INSTDIR\game"
  Delete "$INSTDIR\vantor-launcher.exe"
  Delete "$INSTDIR\vantor-launcher.exe.old"
  Delete "$INSTDIR\vantor-launcher.exe.new"
  Delete "$INSTDIR\update.json"
  Delete "$INSTDIR\install.json"
  Delete "$INSTDIR\unins000.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Astrane Vantor.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${IfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION "Keep your saves and settings for later?" IDYES keep
    RMDir /r "$LOCALAPPDATA\Vantor"
    RMDir /r "$PROFILE\Saved Games\Vantor"
    keep:
  ${EndIf}
SectionEnd
