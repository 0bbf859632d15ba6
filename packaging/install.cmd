@echo off
rem Registers Okulon.dll with Windows so that experiment hosts can create it.
rem   install.cmd            every architecture this Windows has (x86, and x64 on 64-bit Windows)
rem   install.cmd x86        only the 32-bit Okulon.dll, for 32-bit hosts
rem   install.cmd x64        only the 64-bit Okulon.dll, for 64-bit hosts
rem   install.cmd x86 x64    both; "all" is the same as no argument; case does not matter
rem Run it from a command prompt opened with "Run as administrator".
rem Running it again is harmless.
rem Exit code: 0 everything asked for was registered, 1 something was not, 2 bad arguments.
setlocal EnableExtensions EnableDelayedExpansion
rem Paths are expanded with !name! inside ( ) blocks: a folder such as
rem "C:\Program Files (x86)\Okulon" must not end a block early.
set "package=%~dp0"
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
set "simulated="
set "clocks="
if defined want_x86 call :one x86
if "%want_x64%"=="1" call :one x64
if "%want_x64%"=="if-64-bit" (
    if defined windows64 (
        call :one x64
    ) else (
        echo x64: skipped, this Windows is 32-bit and has no 64-bit hosts.
    )
)
echo.
if defined failed (
    echo Okulon was NOT registered for:%failed%. See the messages above.
    if defined done echo Okulon is registered for:%done%.
    exit /b 1
)
echo Okulon is registered for:%done%.
if defined simulated echo WARNING: with the tracker libraries found now, hosts of%simulated% record SIMULATED data.
if defined clocks echo WARNING: without ttime.dll, GetTimestamp of hosts of%clocks% is not on the clock of the record times.
exit /b 0

rem :all_architectures -- x86, and x64 where Windows is 64-bit (unless x64 was asked for by name).
:all_architectures
set "want_x86=1"
if not "%want_x64%"=="1" set "want_x64=if-64-bit"
goto :eof

rem :one x86|x64 -- registers one architecture's Okulon.dll and checks the tracker libraries.
:one
set "arch=%~1"
set "bits=32"
if "%arch%"=="x64" set "bits=64"
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

rem :libraries -- which tet.dll and ttime.dll a host of this architecture would
rem load, asked of the check tool of the same architecture: it searches as such
rem a host does, reads each file's architecture, and knows the simulator's stand-ins.
:libraries
set "checker=!folder!\okulon_check.exe"
if not exist "!checker!" (
    echo %arch%: WARNING, "!checker!" is missing, so the tracker libraries were not checked.
    goto :eof
)
set "report=%TEMP%\okulon-libraries-%arch%-%RANDOM%.txt"
rem Outside ( ) blocks %name% is safe, and cmd expands it everywhere.
"%checker%" --libraries >"%report%" 2>&1
set "code=!errorlevel!"
for /f "usebackq delims=" %%l in ("%report%") do echo %arch%: %%l
del "%report%" >nul 2>&1
if "%code%"=="0" goto :eof
if "%code%"=="1" goto :libraries_missing
if "%code%"=="3" goto :libraries_simulated
if "%code%"=="4" goto :libraries_clocks
echo %arch%: WARNING, the tracker libraries could not be checked: "!checker!" ended with code %code%.
goto :eof

:libraries_missing
echo %arch%: WARNING, no usable %bits%-bit tet.dll would be loaded.
echo        Copy the tracker vendor's %bits%-bit tet.dll into "!folder!", or add its folder to PATH.
echo        Without it every host sees "Tracker not connected". To try Okulon without a tracker,
echo        see "Trying it without a tracker" in user-guide.md.
goto :eof

:libraries_simulated
echo %arch%: WARNING, these are the simulator's stand-in libraries: every %bits%-bit host will record
echo        SIMULATED gaze data, not an eye tracker's. Before real recordings put the tracker vendor's
echo        %bits%-bit tet.dll and ttime.dll into "!folder!" and take the stand-ins off PATH.
set "simulated=!simulated! %arch%"
goto :eof

:libraries_clocks
echo %arch%: WARNING, no usable %bits%-bit ttime.dll would be loaded, so the CLOCKS DIFFER: GetTimestamp
echo        would read this computer's counter while record times are on the tracker's clock, and a host
echo        that maps record times through GetTimestamp would be off by seconds. Copy the tracker vendor's
echo        %bits%-bit ttime.dll into "!folder!" beside tet.dll.
set "clocks=!clocks! %arch%"
goto :eof
