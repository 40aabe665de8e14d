-- save-project.applescript
--
-- Makes sure Final Cut Pro has stored the open project before markers are
-- imported into it. Final Cut Pro saves its libraries continuously and has no
-- scripting command for saving, so this brings it to the front and, where the
-- running version offers an enabled "Save" item in its File menu, chooses it;
-- then it waits briefly for the editor to settle.
--
-- Usage:   osascript save-project.applescript      (no arguments)
-- Prints:  one line {"success": true} or {"success": false, "error": "<message>"}.
--          The caller ignores the output and the exit status.

on run argv
	try
		if application "Final Cut Pro" is not running then error "Final Cut Pro is not running"
		tell application "Final Cut Pro" to activate
		tell application "System Events"
			tell process "Final Cut Pro"
				repeat 40 times
					if frontmost then exit repeat
					delay 0.25
				end repeat
				try
					set saveItem to menu item "Save" of menu "File" of menu bar 1
					if enabled of saveItem then click saveItem
				end try
			end tell
		end tell
		delay 1
		return "{\"success\": true}"
	on error message
		return "{\"success\": false, \"error\": " & my jsonString(message as text) & "}"
	end try
end run

-- A JSON string literal: quotes, backslashes and control characters escaped.
on jsonString(t)
	set hexDigits to "0123456789abcdef"
	set output to ""
	repeat with characterRef in (characters of t)
		set ch to contents of characterRef
		set n to id of ch
		-- A character made of several code points (e + combining accent) has a list of ids.
		if class of n is list then set n to item 1 of n
		if ch is "\"" then
			set output to output & "\\\""
		else if ch is "\\" then
			set output to output & "\\\\"
		else if n < 32 then
			set output to output & "\\u00" & character (n div 16 + 1) of hexDigits & character (n mod 16 + 1) of hexDigits
		else
			set output to output & ch
		end if
	end repeat
	return "\"" & output & "\""
end jsonString
