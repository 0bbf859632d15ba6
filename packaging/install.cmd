@echo off
rem Registers Okulon.dll with Windows so that experiment hosts can create it.
rem   install.cmd        every architecture this Windows has (x86, and x64 on 64-bit Windows)
rem   install.cmd x86    only the 32-bit Okulon.dll, for 32-bit hosts
rem   install.cmd x64    only the 64-bit Okulon.dll, for 64-bit hosts
rem Run it from a command prompt opened with "Run as administrator".
rem Running it again is harmless. Exit code 0: everything asked for was registered.
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
    if defined windows64 (
        call :one x64
    ) else (
        echo x64: skipped, this Windows is 32-bit and has no 64-bit hosts.
    )
) else (
    call :one %choice%
)
echo.
if defined failed (
    echo Okulon was NOT registered for:%failed%. See the messages above.
    if defined done echo Okulon is registered for:%done%.
    exit /b 1
)
echo Okulon is registered for:%done%.
exit /b 0

rem :one x86|x64 -- registers one architecture's Okulon.dll and looks for the tracker libraries.
:one
set "arch=%~1"
set "bits=32"
if /i "%arch%"=="x64" set "bits=64"
set "folder=%package%%arch%"
set "dll=!folder!\Okulon.dll"
set "tool=!regsvr32_%arch%!"
if not defined tool (
    echo %arch%: FAILED, a 64-bit DLL cannot be registered on 32-bit Windows.
    set "failed=!failed! %arch%"
    goto :eof
)
if not exist "!dll!" (
    echo %arch%: FAILED, "!dll!" is missing. Unpack the whole package again.
    set "failed=!failed! %arch%"
    goto :eof
)
"!tool!" /s "!dll!"
set "code=!errorlevel!"
if not "%code%"=="0" goto :one_failed
echo %arch%: registered "!dll!" for %bits%-bit hosts.
set "done=!done! %arch%"
call :libraries
goto :eof

:one_failed
echo %arch%: FAILED to register "!dll!": "!tool!" ended with code %code%.
if "%code%"=="3" echo        Windows could not load the DLL: the file is damaged or of the wrong architecture.
if "%code%"=="5" echo        The DLL could not write to the registry: open the command prompt with "Run as administrator".
if "%code%"=="9009" echo        The %bits%-bit regsvr32 could not start: this Windows cannot run %bits%-bit programs. Use "install.cmd x64".
if not "%code%"=="3" if not "%code%"=="5" if not "%code%"=="9009" echo        The %bits%-bit regsvr32 failed; is %bits%-bit Windows support present?
set "failed=!failed! %arch%"
goto :eof

rem :libraries -- warns when the tracker vendor's libraries would not be found.
:libraries
call :library tet.dll
call :library ttime.dll
goto :eof

rem :library name -- beside Okulon.dll first, then on PATH, as the component looks.
:library
set "found="
if exist "!folder!\%~1" set "found=!folder!\%~1"
if not defined found set "found=%~$PATH:1"
if defined found goto :library_found
echo %arch%: WARNING, %~1 is neither next to Okulon.dll nor on PATH.
echo        Copy the tracker vendor's %bits%-bit %~1 into "!folder!", or add its folder to PATH.
echo        Without it every host sees "Tracker not connected". To try Okulon without a tracker,
echo        see "Trying it without a tracker" in user-guide.md.
goto :eof

:library_found
echo %arch%: %~1 found: "!found!"
goto :eof
