' A late-bound client as a script host sees the component: create it by its
' version-independent ProgID and call a method. The object's default
' interface has no members, so the call must fail with error 438 (object
' does not support this property or method). The exit code tells the caller
' what happened: 0 as expected, 2 creation failed, 3 the call did not fail,
' 4 the call failed with another error. Errors are checked by hand because
' the script host ends with exit code 0 on an unhandled one.
Option Explicit
On Error Resume Next

Dim tracker
Set tracker = CreateObject("Okulon.EyeTrackerImpl")
If Err.Number <> 0 Then
    WScript.Echo "CreateObject failed: " & Err.Number & " " & Err.Description
    WScript.Quit 2
End If
If Not IsObject(tracker) Then
    WScript.Echo "CreateObject gave no object"
    WScript.Quit 2
End If

tracker.StartTracking
If Err.Number = 0 Then
    WScript.Echo "StartTracking did not fail"
    WScript.Quit 3
End If
If Err.Number <> 438 Then
    WScript.Echo "StartTracking failed with " & Err.Number & " " & Err.Description
    WScript.Quit 4
End If

Set tracker = Nothing
WScript.Quit 0
