// Stage 5: setup copy, shortcuts and the per-user uninstall entry. Never fails the attempt.
#pragma once

// Writes a shell link at shortcutPath to target, with workingFolder, icon iconPath (index 0) and
// the description "Tavrin AI"; an existing link there is replaced. All arguments are
// NUL-terminated UTF-16 paths. Nothing is written when shortcutPath is not absolute (a path that
// could not be formed), when the link object cannot be created (COM not initialised on the
// calling thread), when its target or working folder cannot be set, or when the save fails; no
// failure is reported.
void CreateShortcut(const wchar_t* shortcutPath, const wchar_t* target, const wchar_t* workingFolder,
                    const wchar_t* iconPath);

// The whole stage for installState.installDir and releaseVersion: posts "바로가기 만드는 중...",
// copies the running program to <installDir>\TavrinSetup.exe (replacing an older copy; nothing
// is done when the program already is that copy), writes "Tavrin AI.lnk" into the Programs folder
// and, when installState.desktopShortcutBox answers BST_CHECKED to a synchronous BM_GETCHECK,
// into the desktop folder, pointing at TavrinStudio\TavrinAI.exe (TavrinStudio\run_tavrin.bat when
// the former is absent; no shortcut when that is absent too), and, when the setup copy is there,
// writes the eight values of the HKCU uninstall entry
// "Software\Microsoft\Windows\CurrentVersion\Uninstall\TavrinAI" (removed again when its display
// name or its command could not be written). A shell folder that cannot be looked up skips its
// shortcut. Worker thread only, with COM initialised, while the window thread
// pumps messages (the check-box query is a SendMessageW).
void RegisterShell();
