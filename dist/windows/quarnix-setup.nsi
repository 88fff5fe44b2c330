; The Windows setup program quarnix-<version>-setup.exe (64-bit), built by `make installer` with
; makensis -INPUTCHARSET UTF8 -DVERSION=<version> -DBUILD=<windows build dir> -DSOURCE=<source dir>
; -DOUTFILE=<setup program>.
;
; It installs quarnix.exe, opcda_ps.dll and the documents into Program Files, the simulator
; quarnix-sim.exe as an optional component, registers the proxy/stub only when no proxy/stub is
; registered for the OPC DA 2.0 interfaces yet, and registers and starts the Windows service
; through `quarnix.exe /install` (the one place that registers it) with the options asked for,
; its working directory (the log file's folder) being %ProgramData%\Quarnix. The options are
; checked with `quarnix.exe /install /check` before anything is installed. What it installed and
; registered is recorded under HKLM\Software\Quarnix: an upgrade keeps the options, the
; uninstaller removes only what the setup registered, and keeps the log folder.
;
; Silent: setup.exe /S [/PORT=n] [/RHOST=a.b.c.d] [/RPORT=n] [/PROGID=name] [/READONLY[=0]]
;         [/ALLOW=list] [/SIMULATOR[=0]] [/D=folder]
; Exit status: 0 installed and running; 2 nothing installed (a bad value, no administrator
; rights, a failed registration); 3 installed, but the service did not start (see its log file).
; Every message also goes to %TEMP%\quarnix-setup.log.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define REGKEY "Software\Quarnix"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarnix"
!define SERVICEKEY "SYSTEM\CurrentControlSet\Services\Quarnix"
; IOPCServer: a proxy/stub registered for it serves the OPC DA 2.0 interfaces.
!define PS_CHECK_KEY "Interface\{39C13A4D-011E-11D0-9675-0020AFD8ADB3}\ProxyStubClsid32"
!define EXIT_NOTHING_INSTALLED 2
!define EXIT_NOT_STARTED 3

Name "Quarnix ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quarnix"
InstallDirRegKey HKLM "${REGKEY}" "InstallDir"
BrandingText "Quarnix ${VERSION}"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=2052 "ProductName" "Quarnix"
VIAddVersionKey /LANG=2052 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=2052 "FileDescription" "Quarnix ${VERSION} 安装程序"
VIAddVersionKey /LANG=2052 "CompanyName" "Quarnix"
VIAddVersionKey /LANG=2052 "LegalCopyright" "Quarnix"

Var Port
Var RHost
Var RPort
Var ProgId
Var ReadOnly
Var Allow
Var Simulator
Var DataDir
Var Upgrade
Var Options
Var ServiceRuns  ; whether the service ran after its start (WaitUntilServiceRuns)
Var Field1
Var Field2
Var Field3
Var Field4
Var Field5
Var Field6

!define MUI_ICON "${SOURCE}\res\quarnix.ico"
!define MUI_UNICON "${SOURCE}\res\quarnix.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
Page custom OptionsPage OptionsPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

; --- Messages: the details window, a message box unless silent, and %TEMP%\quarnix-setup.log --

!macro DEFINE_SAY prefix
Function ${prefix}Say
  Exch $0
  Push $1
  DetailPrint "$0"
  FileOpen $1 "$TEMP\quarnix-setup.log" a
  ${IfNot} ${Errors}
    FileSeek $1 0 END
    FileWriteUTF16LE /BOM $1 "$0$\r$\n"
    FileClose $1
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_SAY ""
!insertmacro DEFINE_SAY "un."

!macro Say text
  Push "${text}"
  Call Say
!macroend
!macro UnSay text
  Push "${text}"
  Call un.Say
!macroend
!macro Fail text
  !insertmacro Say "${text}"
  MessageBox MB_OK|MB_ICONSTOP "${text}" /SD IDOK
!macroend

; Waits (at most 60 s) until the file can be replaced: a stopped service's process may take a
; moment to end after the service manager reports it stopped.
!macro DEFINE_WAIT prefix
Function ${prefix}WaitUntilReplaceable
  Exch $0
  Push $1
  Push $2
  StrCpy $2 0
  ${DoWhile} ${FileExists} "$0"
    ClearErrors
    FileOpen $1 "$0" a
    ${IfNot} ${Errors}
      FileClose $1
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
    ${If} $2 > 120
      ${Break}
    ${EndIf}
    Sleep 500
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_WAIT ""
!insertmacro DEFINE_WAIT "un."

; --- The options ------------------------------------------------------------------------------

; A flag parameter (/READONLY, /SIMULATOR): given alone or as =1 turns it on, =0 off.
!macro FLAG_OPTION params name var
  ClearErrors
  ${GetOptions} "${params}" "${name}" $0
  ${IfNot} ${Errors}
    ${If} $0 == "=0"
      StrCpy ${var} 0
    ${Else}
      StrCpy ${var} 1
    ${EndIf}
  ${EndIf}
!macroend
!macro VALUE_OPTION params name var
  ClearErrors
  ${GetOptions} "${params}" "${name}" $0
  ${IfNot} ${Errors}
    StrCpy ${var} $0
  ${EndIf}
!macroend

; The recorded options of an earlier setup (an upgrade keeps them), else the defaults, then the
; command line's parameters over them.
Function ReadOptions
  ReadRegStr $Upgrade HKLM "${REGKEY}" "Version"
  StrCpy $Port 8089
  StrCpy $RHost 127.0.0.1
  StrCpy $RPort 8088
  StrCpy $ProgId OPC.SimaticNET
  StrCpy $ReadOnly 0
  StrCpy $Allow ""
  StrCpy $Simulator 0
  ${If} $Upgrade != ""
    ReadRegStr $Port HKLM "${REGKEY}" "Port"
    ReadRegStr $RHost HKLM "${REGKEY}" "RemoteHost"
    ReadRegStr $RPort HKLM "${REGKEY}" "RemotePort"
    ReadRegStr $ProgId HKLM "${REGKEY}" "ProgID"
    ReadRegStr $ReadOnly HKLM "${REGKEY}" "ReadOnly"
    ReadRegStr $Allow HKLM "${REGKEY}" "Allow"
    ReadRegStr $Simulator HKLM "${REGKEY}" "Simulator"
  ${EndIf}
  ${GetParameters} $R0
  !insertmacro VALUE_OPTION $R0 "/PORT=" $Port
  !insertmacro VALUE_OPTION $R0 "/RHOST=" $RHost
  !insertmacro VALUE_OPTION $R0 "/RPORT=" $RPort
  !insertmacro VALUE_OPTION $R0 "/PROGID=" $ProgId
  !insertmacro VALUE_OPTION $R0 "/ALLOW=" $Allow
  !insertmacro FLAG_OPTION $R0 "/READONLY" $ReadOnly
  !insertmacro FLAG_OPTION $R0 "/SIMULATOR" $Simulator
FunctionEnd

; Pushes "" when the value is one word, else the text saying what is wrong with it.
Function CheckWord
  Exch $0  ; the value
  Exch
  Exch $1  ; its parameter's name
  Push $2
  Push $3
  StrCpy $3 ""
  ${If} $0 == ""
    StrCpy $3 "安装参数 $1 不能为空。"
  ${Else}
    StrCpy $2 0
    ${Do}
      StrCpy $R1 $0 1 $2
      ${If} $R1 == ""
        ${Break}
      ${EndIf}
      ${If} $R1 == " "
      ${OrIf} $R1 == '"'
        StrCpy $3 "安装参数 $1 的值“$0”无效：值中不能有空格或引号。"
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
  ${EndIf}
  StrCpy $0 $3
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

!macro CHECK_WORD name value
  ${If} $R9 == ""
    Push "${name}"
    Push "${value}"
    Call CheckWord
    Pop $R9
  ${EndIf}
!macroend

; The text on the stack without the line ends at its end.
Function TrimNewLines
  Exch $0
  Push $1
  ${Do}
    StrCpy $1 $0 1 -1
    ${If} $1 != "$\n"
    ${AndIf} $1 != "$\r"
      ${Break}
    ${EndIf}
    StrCpy $0 $0 -1
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

; The service's options (without /workdir, which the setup adds) into $Options, and checks them
; with quarnix.exe /install /check: pushes "" when they are good, else the text why not.
Function CheckOptions
  StrCpy $R9 ""
  !insertmacro CHECK_WORD "/PORT" $Port
  !insertmacro CHECK_WORD "/RHOST" $RHost
  !insertmacro CHECK_WORD "/RPORT" $RPort
  !insertmacro CHECK_WORD "/PROGID" $ProgId
  ${If} $Allow != ""
    !insertmacro CHECK_WORD "/ALLOW" $Allow
  ${EndIf}
  ; /connect: the server is created at start and kept, so that the service is healthy from then on.
  StrCpy $Options "/lp $Port /rh $RHost /rp $RPort /progId $ProgId /connect"
  ${If} $ReadOnly == 1
    StrCpy $Options "$Options /readonly"
  ${EndIf}
  ${If} $Allow != ""
    StrCpy $Options "$Options /allow $Allow"
  ${EndIf}
  ${If} $R9 == ""
    nsExec::ExecToStack '"$PLUGINSDIR\quarnix.exe" /install /check $Options'
    Pop $0
    Pop $1
    ${If} $0 != 0
      Push $1
      Call TrimNewLines
      Pop $R9
    ${EndIf}
  ${EndIf}
  Push $R9
FunctionEnd


; The page that asks for the service's options (each also a silent parameter).
!macro OPTION_FIELD top label value var
  ${NSD_CreateLabel} 0 ${top} 45% 12u "${label}"
  Pop $0
  ${NSD_CreateText} 47% ${top} 53% 12u "${value}"
  Pop ${var}
!macroend

Function OptionsPage
  !insertmacro MUI_HEADER_TEXT "服务的选项" "Windows服务Quarnix以这些选项运行；以后升级时保留。"
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  !insertmacro OPTION_FIELD 0u "监听请求的TCP端口 (/lp)" $Port $Field1
  !insertmacro OPTION_FIELD 18u "接收数据报的主机地址 (/rh)" $RHost $Field2
  !insertmacro OPTION_FIELD 36u "接收数据报的UDP端口 (/rp)" $RPort $Field3
  !insertmacro OPTION_FIELD 54u "OPC服务器的ProgID (/progId)" $ProgId $Field4
  !insertmacro OPTION_FIELD 72u "只服务这些客户端地址 (/allow，空=所有)" $Allow $Field5
  ${NSD_CreateCheckbox} 0 92u 100% 12u "只读：拒绝写请求SW和AW (/readonly)"
  Pop $Field6
  ${If} $ReadOnly == 1
    ${NSD_Check} $Field6
  ${EndIf}
  ${NSD_CreateLabel} 0 112u 100% 24u "日志文件RV_Morvantel.log在 $APPDATA\Quarnix 中。选了模拟服务器时，ProgID Quarnix.Simulator 用它。"
  Pop $0
  nsDialogs::Show
FunctionEnd

Function OptionsPageLeave
  ${NSD_GetText} $Field1 $Port
  ${NSD_GetText} $Field2 $RHost
  ${NSD_GetText} $Field3 $RPort
  ${NSD_GetText} $Field4 $ProgId
  ${NSD_GetText} $Field5 $Allow
  ${NSD_GetState} $Field6 $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $ReadOnly 1
  ${Else}
    StrCpy $ReadOnly 0
  ${EndIf}
  Call CheckOptions
  Pop $0
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$0"
    Abort  ; stays on the page
  ${EndIf}
FunctionEnd

; --- Installing ---------------------------------------------------------------------------------

Section "Quarnix 网关和Windows服务" SecGateway
  SectionIn RO
  ; A Quarnix service that runs (an earlier version, or one registered by hand) is stopped and
  ; removed first, so that its program can be replaced; it is registered again below.
  ReadRegStr $0 HKLM "${SERVICEKEY}" "ImagePath"
  ${If} $0 != ""
    !insertmacro Say "停止并删除现有的Windows服务Quarnix（升级）。"
    nsExec::ExecToLog '"$PLUGINSDIR\quarnix.exe" /uninstall'
    Pop $0
    Push "$INSTDIR\quarnix.exe"
    Call WaitUntilReplaceable
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "${BUILD}\quarnix.exe"
  File "${BUILD}\opcda_ps.dll"
  SetOutPath "$INSTDIR\docs"
  File "${SOURCE}\README.md"
  File "${SOURCE}\docs\protocol.md"
  File "${SOURCE}\docs\simulator.md"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The proxy/stub: ours only where none serves the OPC DA 2.0 interfaces yet (another one, from
  ; an OPC server's setup, is left alone); registered again on upgrade when it is ours.
  ReadRegStr $0 HKLM "${REGKEY}" "ProxyStub"
  ReadRegStr $1 HKCR "${PS_CHECK_KEY}" ""
  ${If} $1 == ""
  ${OrIf} $0 == 1
    ClearErrors
    RegDLL "$INSTDIR\opcda_ps.dll"
    ${If} ${Errors}
      !insertmacro Fail "注册opcda_ps.dll失败。"
      Call RollBack
      SetErrorLevel ${EXIT_NOTHING_INSTALLED}
      Abort
    ${EndIf}
    WriteRegStr HKLM "${REGKEY}" "ProxyStub" 1
    !insertmacro Say "已注册OPC DA代理/存根opcda_ps.dll。"
  ${Else}
    !insertmacro Say "已有OPC DA代理/存根（$1），不注册opcda_ps.dll。"
  ${EndIf}
SectionEnd

Section /o "模拟服务器 Quarnix.Simulator" SecSimulator
  Push "$INSTDIR\quarnix-sim.exe"
  Call WaitUntilReplaceable
  SetOutPath "$INSTDIR"
  File "${BUILD}\quarnix-sim.exe"
  ExecWait '"$INSTDIR\quarnix-sim.exe" /RegServer' $0
  ${If} $0 != 0
    !insertmacro Fail "注册模拟服务器quarnix-sim.exe失败（退出码 $0）。"
    Call RollBack
    SetErrorLevel ${EXIT_NOTHING_INSTALLED}
    Abort
  ${EndIf}
  WriteRegStr HKLM "${REGKEY}" "Simulator" 1
SectionEnd

Section "-service"
  ; An upgrade without the simulator removes one an earlier setup installed.
  ${IfNot} ${SectionIsSelected} ${SecSimulator}
  ${AndIf} ${FileExists} "$INSTDIR\quarnix-sim.exe"
    Push "$INSTDIR\quarnix-sim.exe"
    Call WaitUntilReplaceable
    ExecWait '"$INSTDIR\quarnix-sim.exe" /UnregServer'
    Delete "$INSTDIR\quarnix-sim.exe"
    WriteRegStr HKLM "${REGKEY}" "Simulator" 0
  ${EndIf}

  StrCpy $DataDir "$APPDATA\Quarnix"
  CreateDirectory "$DataDir"
  ; Option values cannot hold blanks: the short form of a folder name with blanks.
  StrCpy $0 "$DataDir"
  Push "workdir"
  Push "$DataDir"
  Call CheckWord
  Pop $1
  ${If} $1 != ""
    GetFullPathName /SHORT $0 "$DataDir"
  ${EndIf}
  nsExec::ExecToStack '"$INSTDIR\quarnix.exe" /install $Options /workdir $0'
  Pop $1
  Call TrimNewLines
  Pop $2
  ${If} $1 != 0
    !insertmacro Fail "$2"
    Call RollBack
    SetErrorLevel ${EXIT_NOTHING_INSTALLED}
    Abort
  ${EndIf}
  !insertmacro Say "$2"

  WriteRegStr HKLM "${REGKEY}" "Version" "${VERSION}"
  WriteRegStr HKLM "${REGKEY}" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${REGKEY}" "Port" "$Port"
  WriteRegStr HKLM "${REGKEY}" "RemoteHost" "$RHost"
  WriteRegStr HKLM "${REGKEY}" "RemotePort" "$RPort"
  WriteRegStr HKLM "${REGKEY}" "ProgID" "$ProgId"
  WriteRegStr HKLM "${REGKEY}" "ReadOnly" "$ReadOnly"
  WriteRegStr HKLM "${REGKEY}" "Allow" "$Allow"

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "Quarnix ${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "Quarnix"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\quarnix.exe"
  WriteRegStr HKLM "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTKEY}" "EstimatedSize" $0

  CreateDirectory "$SMPROGRAMS\Quarnix"
  CreateShortcut "$SMPROGRAMS\Quarnix\日志文件夹.lnk" "$DataDir"
  CreateShortcut "$SMPROGRAMS\Quarnix\说明文件.lnk" "$INSTDIR\docs"
  CreateShortcut "$SMPROGRAMS\Quarnix\卸载Quarnix.lnk" "$INSTDIR\uninstall.exe"

  nsExec::ExecToStack '"$SYSDIR\net.exe" start Quarnix'
  Pop $0
  Call TrimNewLines
  Pop $1
  ; net.exe may give up while the service is still starting (or fail to reach it at once, as
  ; under wine): the service manager is asked until the service runs, at most 30 s.
  ${If} $0 != 0
    Call WaitUntilServiceRuns
    ${If} $ServiceRuns == 1
      StrCpy $0 0
    ${EndIf}
  ${EndIf}
  ${If} $0 != 0
    !insertmacro Fail "Windows服务Quarnix已安装，但未能启动（$1）。原因见日志文件 $DataDir\RV_Morvantel.log，例如端口$Port已被另一个程序（或另一个Quarnix）占用。服务会在失败后每10秒重新启动一次。"
    SetErrorLevel ${EXIT_NOT_STARTED}
  ${Else}
    !insertmacro Say "Windows服务Quarnix已启动：在端口$Port监听请求，日志文件 $DataDir\RV_Morvantel.log。"
  ${EndIf}
SectionEnd

; Asks the service manager every 500 ms, at most 30 s, whether the service Quarnix runs; sets
; $ServiceRuns to 1 once it does, 0 when it did not within that time.
Function WaitUntilServiceRuns
  Push $0
  Push $1
  Push $2
  Push $3
  Push $5
  StrCpy $ServiceRuns 0
  StrCpy $3 0  ; tries
  ; SC_MANAGER_CONNECT, SERVICE_QUERY_STATUS
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.r0'
  ${If} $0 != 0
    System::Call 'advapi32::OpenServiceW(p r0, w "Quarnix", i 4) p.r1'
    ${If} $1 != 0
      System::Call '*(i, i, i, i, i, i, i) p.r2'  ; SERVICE_STATUS
      ${Do}
        System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i.r5'
        System::Call '*$2(i, i .r5)'  ; dwCurrentState
        ${If} $5 == 4  ; SERVICE_RUNNING
          StrCpy $ServiceRuns 1
          ${Break}
        ${EndIf}
        IntOp $3 $3 + 1
        ${If} $3 > 60
          ${Break}
        ${EndIf}
        Sleep 500
      ${Loop}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $5
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Before any page: administrator rights, the options (recorded, then the parameters), and in a
; silent setup their check, so that a bad value installs nothing.
Function .onInit
  SetShellVarContext all
  SetRegView 64
  InitPluginsDir
  File "/oname=$PLUGINSDIR\quarnix.exe" "${BUILD}\quarnix.exe"
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    !insertmacro Fail "安装Quarnix需要管理员权限：请右键单击安装程序，选择“以管理员身份运行”。未做任何更改。"
    SetErrorLevel ${EXIT_NOTHING_INSTALLED}
    Quit
  ${EndIf}
  Call ReadOptions
  ${If} $Simulator == 1
    SectionSetFlags ${SecSimulator} ${SF_SELECTED}
  ${EndIf}
  ${If} ${Silent}
    Call CheckOptions
    Pop $0
    ${If} $0 != ""
      !insertmacro Fail "$0 未安装任何内容。"
      SetErrorLevel ${EXIT_NOTHING_INSTALLED}
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Undoes a first installation that failed half-way: nothing stays (an upgrade keeps its files).
Function RollBack
  ${If} $Upgrade != ""
    Return
  ${EndIf}
  ReadRegStr $0 HKLM "${REGKEY}" "Simulator"
  ${If} $0 == 1
    ExecWait '"$INSTDIR\quarnix-sim.exe" /UnregServer'
  ${EndIf}
  ReadRegStr $0 HKLM "${REGKEY}" "ProxyStub"
  ${If} $0 == 1
    UnRegDLL "$INSTDIR\opcda_ps.dll"
  ${EndIf}
  DeleteRegKey HKLM "${REGKEY}"
  Delete "$INSTDIR\quarnix.exe"
  Delete "$INSTDIR\quarnix-sim.exe"
  Delete "$INSTDIR\opcda_ps.dll"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /r "$INSTDIR\docs"
  RMDir "$INSTDIR"
  RMDir "$APPDATA\Quarnix"  ; only when empty
FunctionEnd

; --- Uninstalling -------------------------------------------------------------------------------

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "Uninstall"
  ; Stops the service (its normal shutdown) when it runs, and removes it.
  nsExec::ExecToLog '"$INSTDIR\quarnix.exe" /uninstall'
  Pop $0
  Push "$INSTDIR\quarnix.exe"
  Call un.WaitUntilReplaceable
  ReadRegStr $0 HKLM "${REGKEY}" "Simulator"
  ${If} $0 == 1
    Push "$INSTDIR\quarnix-sim.exe"
    Call un.WaitUntilReplaceable
    ExecWait '"$INSTDIR\quarnix-sim.exe" /UnregServer'
    !insertmacro UnSay "已删除模拟服务器Quarnix.Simulator的注册。"
  ${EndIf}
  ReadRegStr $0 HKLM "${REGKEY}" "ProxyStub"
  ${If} $0 == 1
    UnRegDLL "$INSTDIR\opcda_ps.dll"
    !insertmacro UnSay "已删除opcda_ps.dll的注册。"
  ${EndIf}
  Delete "$INSTDIR\quarnix.exe"
  Delete "$INSTDIR\quarnix-sim.exe"
  Delete "$INSTDIR\opcda_ps.dll"
  RMDir /r "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir /r "$SMPROGRAMS\Quarnix"
  DeleteRegKey HKLM "${UNINSTKEY}"
  DeleteRegKey HKLM "${REGKEY}"
  !insertmacro UnSay "Quarnix已卸载；日志文件夹 $APPDATA\Quarnix 保留。"
SectionEnd
