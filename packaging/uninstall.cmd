@echo off
rem Removes Okulon.dll's registration: its class, ProgIDs and type library.
rem   uninstall.cmd        every architecture this Windows has (x86, and x64 on 64-bit Windows)
rem   uninstall.cmd x86    only the 32-bit Okulon.dll
rem   uninstall.cmd x64    only the 64-bit Okulon.dll
rem Run it from a command prompt opened with "Run as administrator", before
rem deleting the folder. Running it again is harmless.
setlocal EnableExtensions EnableDelayedExpansion
rem Paths are expanded with !name! inside ( ) blocks: a folder such as
rem "C:\Program Files (x86)\Okulon" must not end a block early.
set "package=%~dp0"
goto :main

:usage
echo Usage: %~nx0 [x86 ^| x64]
exit /b 2

:main
set "choice=%~1"
if "%choice%"=="" set "choice=all"
if /i not "%choice%"=="all" if /i not "%choice%"=="x86" if /i not "%choice%"=="x64" goto :usage

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
if /i "%choice%"=="all" (
    call :one x86
    if defined windows64 call :one x64
) else (
    call :one %choice%
)
echo.
if defined failed (
    echo Okulon was NOT unregistered for:%failed%. See the messages above.
    if defined done echo Okulon is unregistered for:%done%.
    exit /b 1
)
echo Okulon is unregistered for:%done%. The folder can now be deleted.
exit /b 0

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
