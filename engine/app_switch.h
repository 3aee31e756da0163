// Replacing the app folder without ever being without one. An update extracts into a staging
// folder beside the app folder; only a whole staged app is switched in, by two renames on the
// same volume (the current app folder aside, the staged one into its place), and the folder set
// aside is deleted last. A journal in the install folder, flushed before the first rename, names
// what was under way, so that the next start of the setup program, in either mode, can complete
// or undo a switch that a kill interrupted. The uninstall sets the app folder aside the same way
// before it deletes anything.
#pragma once

#include "engine/paths.h"

// The switch's paths in one install folder, each formed whole by JoinPath.
struct SwitchPaths {
    wchar_t app[PATH_CAPACITY];      // <install>\TavrinStudio
    wchar_t staging[PATH_CAPACITY];  // <install>\TavrinStudio.new, where the payload is extracted
    wchar_t staged[PATH_CAPACITY];   // <install>\TavrinStudio.new\TavrinStudio
    wchar_t aside[PATH_CAPACITY];    // <install>\TavrinStudio.old
    wchar_t journal[PATH_CAPACITY];  // <install>\TavrinSetup.switch
};

// False when installDir is not absolute or any path does not fit 260 units: then nothing may be
// created, renamed or deleted in it.
bool FormSwitchPaths(SwitchPaths& paths, const wchar_t* installDir);

// How a switch ended.
enum class SwitchResult {
    Switched,  // the staged app is in place; the previous one is deleted or left aside for the next start
    InUse,     // the current app folder could not be set aside (a file of it is open): nothing changed
    Failed,    // the journal could not be written (nothing changed), or the staged app could not be put
               // in place: the previous one is back (or, if even that failed, left aside with the
               // journal for the next start to put back)
};

// Puts paths.staged in place of paths.app (which need not exist). Each rename outlasts a passing
// holder (transient_retry.h). The staging folder is not removed here.
SwitchResult SwitchToStaged(const SwitchPaths& paths);

// The uninstall's first step: the app folder is renamed aside, under a journal that says so.
// False when it could not be (a file in use): then nothing has changed. True also when there is
// no app folder.
bool SetAppFolderAsideForRemoval(const SwitchPaths& paths);
// Deletes what SetAppFolderAsideForRemoval set aside, then its journal. False while something of
// it is left: that is renamed back into the app folder's place (a link the walk cannot remove
// as a link keeps the whole tree, which is then the app again), or, failing that, left aside
// with the journal for the next start to delete.
bool DeleteAppFolderSetAside(const SwitchPaths& paths);

// Run first at every start, in either mode, on the install folder concerned. An app folder
// missing beside a folder set aside by an update is put back; one set aside by an uninstall is
// deleted; stray staging and aside folders and an unfinished setup copy are removed; the journal
// goes once nothing of the switch is left. Does nothing when installDir is null, empty or not
// absolute.
void RecoverInterruptedSwitch(const wchar_t* installDir);

// The same for the install folder that the per-user uninstall entry names (the previous
// install), when there is one.
void RecoverRegisteredInstall();
