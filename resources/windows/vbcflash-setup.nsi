; The Windows installer, vbcflash-setup-VERSION-x86_64.exe, made by scripts/package.sh:
;
;   makensis -DVERSION=0.1.0 -DSTAGE=dir -DFILES=files.nsh -DUNFILES=unfiles.nsh
;            -DICON=vbcflash.ico -DOUTFILE=setup.exe vbcflash-setup.nsi
;
; STAGE holds what the zip holds; FILES and UNFILES are the File and Delete lines that
; scripts/package.sh writes from it, so that the uninstaller removes exactly the files the
; installer put there, by name. A config.txt, a log or a database that the user left in the
; folder stays, and so does the folder then. /S installs and uninstalls without a window.

Unicode true
; 64-bit stub: the programs are 64-bit, and Program Files and the registry are then the native
; ones, without the 32-bit redirection.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define NAME "vbcflash"
!define PUBLISHER "vbcflash developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\vbcflash"
!define PROGID "vbcflash.cla"
!define CLASSES "Software\Classes"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
; A reinstall goes where the first install went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
Icon "${ICON}"
UninstallIcon "${ICON}"
BrandingText "${NAME} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${NAME} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!macro NotifyAssociations
    ; SHChangeNotify(SHCNE_ASSOCCHANGED): the Explorer shows the new icon and verb at once.
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
!macroend

Section "vbcflash"
    SectionIn RO
    SetShellVarContext all

    SetOutPath "$INSTDIR"
    !include "${FILES}"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The Start-menu entry starts the program in the user's Documents folder: Program Files
    ; takes no config.txt, and the working folder is where flash.txt, the bootstrap files and
    ; config.txt are (the shell expands the variable for each user).
    StrCpy $OUTDIR "%USERPROFILE%\Documents"
    CreateShortCut "$SMPROGRAMS\vbcflash.lnk" "$INSTDIR\vbcflash.exe" "" \
        "$INSTDIR\vbcflash.exe" 0 SW_SHOWNORMAL "" "VBC4410 software download"
    SetOutPath "$INSTDIR"

    ; Opening a .cla file starts the desktop program with it; the program's working folder is
    ; then the one the Explorer gives it, the file's own.
    WriteRegStr HKLM "${CLASSES}\${PROGID}" "" "VBC4410 software file"
    WriteRegStr HKLM "${CLASSES}\${PROGID}\DefaultIcon" "" "$INSTDIR\vbcflash.exe,0"
    WriteRegStr HKLM "${CLASSES}\${PROGID}\shell\open\command" "" '"$INSTDIR\vbcflash.exe" "%1"'
    WriteRegStr HKLM "${CLASSES}\.cla" "" "${PROGID}"
    WriteRegStr HKLM "${CLASSES}\.cla\OpenWithProgids" "${PROGID}" ""
    !insertmacro NotifyAssociations

    ; Apps & features.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME} ${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vbcflash.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize 0 $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    ; Only empty folders go: whatever the user put there stays, with its folder.
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\vbcflash.lnk"

    DeleteRegKey HKLM "${CLASSES}\${PROGID}"
    DeleteRegValue HKLM "${CLASSES}\.cla\OpenWithProgids" "${PROGID}"
    DeleteRegKey /ifempty HKLM "${CLASSES}\.cla\OpenWithProgids"
    ; .cla is left alone if another program has taken it since.
    ReadRegStr $0 HKLM "${CLASSES}\.cla" ""
    StrCmp $0 "${PROGID}" 0 +2
        DeleteRegValue HKLM "${CLASSES}\.cla" ""
    DeleteRegKey /ifempty HKLM "${CLASSES}\.cla"
    !insertmacro NotifyAssociations

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
