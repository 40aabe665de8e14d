-- export-fcpxml.applescript
--
-- Exports the timeline that is open in Final Cut Pro as an FCPXML document,
-- through its "File > Export XML…" command (Final Cut Pro has no scripting
-- command for exporting, so the menu and save sheet are driven through System
-- Events; the container app needs the Accessibility permission for that).
--
-- Usage:   osascript export-fcpxml.applescript OUTPUT-PATH
--          OUTPUT-PATH: absolute path of the file to write (it may already
--          exist, empty; it is replaced).
-- Prints:  on success, one line {"path": "<absolute path>"} naming a file that
--          holds the FCPXML document (UTF-8). When Final Cut Pro writes a
--          bundle (.fcpxmld), the path names the Info.fcpxml inside it.
--          On failure, one line {"error": "<message>"} and no "path" member.
-- The exit status is not used by the caller.

property exportTimeout : 90 -- seconds to wait for the exported file

on run argv
	if (count of argv) < 1 then return my failure("no output path given")
	set outputPath to item 1 of argv
	if outputPath does not start with "/" then return my failure("the output path must be absolute")
	set folderPath to my parentFolder(outputPath)
	set fileName to my lastComponent(outputPath)
	try
		if application "Final Cut Pro" is not running then return my failure("Final Cut Pro is not running")
		tell application "Final Cut Pro" to activate
		my waitForFrontmost()
		tell application "System Events"
			tell process "Final Cut Pro"
				set exportItem to my findMenuItem(menu "File" of menu bar 1, "Export XML")
				if exportItem is missing value then error "the File menu has no Export XML command"
				if not (enabled of exportItem) then error "no timeline is open to export"
				click exportItem
				set exportSheet to my waitForSheet(window 1)
				-- The first sheet sets the XML version; its default button leads to the save sheet.
				if exists button "Save" of exportSheet then
					set saveSheet to exportSheet
				else
					click button 1 of exportSheet
					set saveSheet to my waitForSheet(window 1)
				end if
				-- Go to the folder, then name the file.
				keystroke "g" using {command down, shift down}
				delay 0.5
				keystroke folderPath
				keystroke return
				delay 0.5
				set value of text field 1 of saveSheet to fileName
				click button "Save" of saveSheet
				delay 0.5
				-- The file exists already (the caller created it): confirm replacing it.
				-- The confirmation is a sheet on the save sheet, or an alert of its own.
				try
					if exists button "Replace" of sheet 1 of saveSheet then click button "Replace" of sheet 1 of saveSheet
				end try
				repeat with candidate in (sheets of window 1)
					try
						if exists button "Replace" of candidate then click button "Replace" of candidate
					end try
				end repeat
			end tell
		end tell
	on error message
		return my failure(message)
	end try
	set exported to my waitForExport(outputPath)
	if exported is missing value then return my failure("the export did not finish within " & exportTimeout & " seconds")
	return "{\"path\": " & my jsonString(exported) & "}"
end run

-- The path of the finished export: the file itself once it is non-empty and
-- no longer growing, or the Info.fcpxml of a bundle written beside it.
on waitForExport(outputPath)
	set candidates to {outputPath, outputPath & "d/Info.fcpxml", outputPath & ".fcpxmld/Info.fcpxml"}
	set lastSizes to {-1, -1, -1}
	repeat (exportTimeout * 2) times
		repeat with i from 1 to count of candidates
			set candidate to item i of candidates
			set currentSize to my fileSize(candidate)
			if currentSize > 0 and currentSize = (item i of lastSizes) then return candidate
			set item i of lastSizes to currentSize
		end repeat
		delay 0.5
	end repeat
	return missing value
end waitForExport

on fileSize(p)
	try
		return (do shell script "/usr/bin/stat -f %z " & quoted form of p) as integer
	on error
		return 0
	end try
end fileSize

on findMenuItem(theMenu, prefix)
	tell application "System Events"
		repeat with candidate in (menu items of theMenu)
			try
				if (name of candidate) starts with prefix then return contents of candidate
			end try
		end repeat
	end tell
	return missing value
end findMenuItem

on waitForFrontmost()
	tell application "System Events"
		repeat 40 times
			if frontmost of process "Final Cut Pro" then return
			delay 0.25
		end repeat
	end tell
	error "Final Cut Pro did not come to the front"
end waitForFrontmost

on waitForSheet(theWindow)
	tell application "System Events"
		repeat 40 times
			if exists sheet 1 of theWindow then return sheet 1 of theWindow
			delay 0.25
		end repeat
	end tell
	error "the export sheet did not appear"
end waitForSheet

on parentFolder(p)
	set AppleScript's text item delimiters to "/"
	set parts to text items of p
	set folderPath to (items 1 thru -2 of parts) as text
	set AppleScript's text item delimiters to ""
	if folderPath is "" then return "/"
	return folderPath
end parentFolder

on lastComponent(p)
	set AppleScript's text item delimiters to "/"
	set component to last text item of p
	set AppleScript's text item delimiters to ""
	return component
end lastComponent

on failure(message)
	return "{\"error\": " & my jsonString(message as text) & "}"
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
