-- import-fcpxml.applescript
--
-- Imports an FCPXML document (the container app's marker document) into Final
-- Cut Pro by asking it to open the file, then confirms the import sheet if one
-- appears and waits until Final Cut Pro has finished reading the document:
-- the caller deletes the file as soon as this script has printed its answer.
--
-- Usage:   osascript import-fcpxml.applescript FCPXML-PATH
--          FCPXML-PATH: absolute path of the document to import.
-- Prints:  one line {"success": true} when Final Cut Pro accepted the document,
--          else {"success": false, "error": "<message>"}.
-- The exit status is not used by the caller.

property importTimeout : 90 -- seconds to wait for the import to finish

on run argv
	if (count of argv) < 1 then return my failure("no document path given")
	set documentPath to item 1 of argv
	try
		set documentFile to (POSIX file documentPath) as alias
	on error
		return my failure("no document at " & documentPath)
	end try
	try
		if application "Final Cut Pro" is not running then error "Final Cut Pro is not running"
		tell application "Final Cut Pro"
			activate
			with timeout of importTimeout seconds
				open documentFile
			end timeout
		end tell
		my finishImport()
		return "{\"success\": true}"
	on error message
		return my failure(message)
	end try
end run

-- Confirms the library-choice sheet that Final Cut Pro may show for an import,
-- reports its error alert as a failure, and waits until no sheet or progress
-- window is left.
on finishImport()
	tell application "System Events"
		tell process "Final Cut Pro"
			repeat importTimeout * 4 times
				set busy to false
				repeat with w in windows
					if exists sheet 1 of w then
						set busy to true
						set s to sheet 1 of w
						if exists button "Import" of s then
							click button "Import" of s
						else if exists button "OK" of s then
							set alertText to ""
							try
								set alertText to value of static text 1 of s
							end try
							click button "OK" of s
							error "Final Cut Pro refused the document: " & alertText
						end if
					end if
					if exists progress indicator 1 of w then set busy to true
				end repeat
				if not busy then return
				delay 0.25
			end repeat
		end tell
	end tell
	error "the import did not finish within " & importTimeout & " seconds"
end finishImport

on failure(message)
	return "{\"success\": false, \"error\": " & my jsonString(message as text) & "}"
end failure

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
