@echo off
rem Removes Okulon.dll's registration: its class, ProgIDs and type library.
rem   uninstall.cmd            every architecture this Windows has (x86, and x64 on 64-bit Windows)
rem   uninstall.cmd x86        only the 32-bit Okulon.dll
rem   uninstall.cmd x64        only the 64-bit Okulon.dll
rem   uninstall.cmd x86 x64    both; "all" is the same as no argument; case does not matter
rem Run it from a command prompt opened with "Run as administrator", before
rem deleting the folder. Running it again is harmless.
rem On 64-bit Windows the ProgID and AppID entries are shared by the 32-bit and
rem 64-bit registrations, so removing one architecture removes them for the
rem other too; this script then registers the other architecture's DLL again,
rem from wherever it is registered, so that its hosts keep working.
rem Exit code: 0 everything asked for was unregistered (and the other
rem architecture still works), 1 something was not, 2 bad arguments.
setlocal EnableExtensions EnableDelayedExpansion
rem Paths are expanded with !name! inside ( ) blocks: a folder such as
rem "C:\Program Files (x86)\Okulon" must not end a block early.
set "package=%~dp0"
set "class_id={CD388263-B06C-4075-83EA-9955A69AA0B2}"
goto :main

:bad_argument
echo %~nx0: unknown argument "%~1"
:usage
echo Usage: %~nx0 [x86] [x64] [all]
echo   Without an argument, or with "all": every architecture this Windows has.
exit /b 2

:main
set "want_x86="
set "want_x64="
if "%~1"=="" goto :all
:next_argument
if "%~1"=="" goto :arguments_done
if /i "%~1"=="x86" (set "want_x86=1" & goto :shift)
if /i "%~1"=="x64" (set "want_x64=1" & goto :shift)
if /i "%~1"=="all" goto :all_then_shift
goto :bad_argument
:all_then_shift
call :all_architectures
:shift
shift
goto :next_argument
:all
call :all_architectures
:arguments_done

rem The 32-bit regsvr32 is in SysWOW64 on 64-bit Windows. A 32-bit cmd.exe
rem there sees SysWOW64 as System32 and reaches the 64-bit one as Sysnative.
set "windows64="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "windows64=1"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "windows64=1"
if defined PROCESSOR_ARCHITEW6432 set "windows64=1"
set "regsvr32_x64="
if defined windows64 (
    set "regsvr32_x86=%SystemRoot%\SysWOW64\regsvr32.exe"
    set "regsvr32_x64=%SystemRoot%\System32\regsvr32.exe"
    if defined PROCESSOR_ARCHITEW6432 set "regsvr32_x64=%SystemRoot%\Sysnative\regsvr32.exe"
) else (
    set "regsvr32_x86=%SystemRoot%\System32\regsvr32.exe"
)

set "failed="
set "done="
set "kept_any="
if defined want_x86 call :one x86
if "%want_x64%"=="1" call :one x64
if "%want_x64%"=="if-64-bit" (
    if defined windows64 (
        call :one x64
    ) else (
        echo x64: skipped, this Windows is 32-bit and has no 64-bit hosts.
    )
)
if defined windows64 (
    if not defined want_x86 call :keep x86
    if not defined want_x64 call :keep x64
)
echo.
if defined failed (
    echo Okulon was NOT unregistered for:%failed%. See the messages above.
    if defined done echo Okulon is unregistered for:%done%.
    exit /b 1
)
if defined kept_any (
    echo Okulon is unregistered for:%done%, and still registered for:%kept_any%.
    exit /b 0
)
echo Okulon is unregistered for:%done%. The folder can now be deleted.
exit /b 0

rem :all_architectures -- x86, and x64 where Windows is 64-bit (unless x64 was asked for by name).
:all_architectures
set "want_x86=1"
if not "%want_x64%"=="1" set "want_x64=if-64-bit"
goto :eof

rem :one x86|x64 -- unregisters one architecture's Okulon.dll.
:one
set "arch=%~1"
set "dll=%package%%arch%\Okulon.dll"
set "tool=!regsvr32_%arch%!"
if not defined tool (
    echo %arch%: FAILED, a 64-bit DLL cannot be unregistered on 32-bit Windows.
    set "failed=!failed! %arch%"
    goto :eof
)
if not exist "!dll!" (
    echo %arch%: FAILED, "!dll!" is missing, so its registration cannot be removed from here.
    set "failed=!failed! %arch%"
    goto :eof
)
"!tool!" /u /s "!dll!"
set "code=!errorlevel!"
if not "%code%"=="0" goto :one_failed
echo %arch%: unregistered "!dll!".
set "done=!done! %arch%"
goto :eof

:one_failed
echo %arch%: FAILED to unregister "!dll!": "!tool!" ended with code %code%.
if "%code%"=="5" echo        The DLL could not change the registry: open the command prompt with "Run as administrator".
if "%code%"=="9009" echo        The regsvr32 of this architecture could not start: this Windows cannot run its programs.
if not "%code%"=="5" if not "%code%"=="9009" echo        The regsvr32 of this architecture failed.
set "failed=!failed! %arch%"
goto :eof

rem :keep x86|x64 -- the architecture that was not asked for: when its class is
rem still registered in its registry view, registers its DLL again so that the
rem shared ProgID and AppID entries are back.
:keep
set "arch=%~1"
set "view=32"
if "%arch%"=="x64" set "view=64"
set "kept="
for /f "tokens=2,*" %%a in ('reg query "HKLM\Software\Classes\CLSID\%class_id%\InprocServer32" /ve /reg:%view% 2^>nul ^| find "REG_"') do set "kept=%%b"
if not defined kept goto :eof
if not exist "!kept!" (
    echo %arch%: WARNING, the %view%-bit class is still registered, but its file "!kept!" is missing.
    echo        Run "install.cmd %arch%" or "uninstall.cmd %arch%" from the package that holds it.
    goto :eof
)
"!regsvr32_%arch%!" /s "!kept!"
set "code=!errorlevel!"
if "%code%"=="0" (
    echo %arch%: still registered: "!kept!"; its hosts keep working.
    set "kept_any=!kept_any! %arch%"
    goto :eof
)
echo %arch%: FAILED to register "!kept!" again: regsvr32 ended with code %code%.
echo        %view%-bit hosts cannot create Okulon until "install.cmd %arch%" has run.
set "failed=!failed! %arch%"
goto :eof
