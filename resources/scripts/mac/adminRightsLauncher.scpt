-- adminRightsLauncher.scpt <install.sh> <package or product folder> <folder> [key value]...
--
-- Runs install.sh with administrator rights: the system asks the user for
-- a password once. Launching an installed product (a folder) needs no
-- rights and keeps the user's own identity. The script's output and exit
-- status are passed on to the installer.
on run argv
	if (count of argv) < 3 then
		log "adminRightsLauncher: expected install.sh, a package and its folder"
		error number 2
	end if
	-- "with administrator privileges" starts the command with an
	-- environment of its own: the Applications folder the installer chose
	-- travels on the command line.
	set command to "/bin/sh"
	set applicationsFolder to ""
	try
		set applicationsFolder to system attribute "ZENTAK_APPLICATIONS_DIR"
	end try
	if applicationsFolder is not "" then
		set command to "ZENTAK_APPLICATIONS_DIR=" & quoted form of applicationsFolder & " " & command
	end if
	repeat with argument in argv
		set command to command & " " & quoted form of (argument as text)
	end repeat
	set target to item 2 of argv as text
	set isFolder to (do shell script "test -d " & quoted form of target & " && echo yes || echo no") is "yes"
	try
		if isFolder then
			return do shell script command
		else
			return do shell script command with administrator privileges
		end if
	on error message number code
		log message
		error number code
	end try
end run
