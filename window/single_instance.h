// One setup program per session, in either mode. Two copies at once would share the temporary
// payload file and the install folder, and an uninstall could delete what a wizard is installing.
#pragma once

// Called by the entry point before anything else, on the main thread.
//
// Owns the mutex "Local\TavrinAI.Setup" (the session's local namespace) for the rest of the
// process when no other running copy owns it, also when a copy that owned it ended without
// releasing it; in uninstall mode the copy first marks the session as uninstalling (with its
// process id), and gives the mark up again when it steps aside. Returns true: this process goes on
// in its mode. When the mutex cannot be made at all it also returns true,
// so that a failing guard never keeps the program from running.
//
// Otherwise this copy steps aside and the function returns false (the process then exits with 0,
// having touched nothing):
// - install mode: the running wizard (or the box or dialog it has open) is restored and brought
//   to the front; while an uninstall runs instead, a warning box says so. A copy that ends while
//   this one looks for it leaves the mutex to this one, which then returns true.
// - uninstall mode beside a wizard: the warning box "설치 프로그램이 이미 실행 중입니다. 설치 창을 닫은
//   뒤 다시 시도해 주세요.".
// - uninstall mode beside an uninstall, also one that has not taken the mutex yet: the box that
//   uninstalling process has open (none of another process) is brought to the front, and this
//   copy shows none of its own.
bool TakeSetupInstance(bool uninstallMode);
