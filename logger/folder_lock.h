// One logger per working directory: the first takes an advisory lock on the
// folder itself (no file is made or changed for it); a second one started
// there learns who holds it and stops before touching any file.
#pragma once

#include <string>

// 1 when this process now holds the lock of the working directory (kept
// until it exits), or when locks are not to be had there (the folder can't
// be opened, or the system has no flock): the logger then runs as before.
// 0 when another process holds it; *holder then names it ("PID 1234", or
// "" when its PID can't be found).
int LockWorkingDirectory(std::string* holder);
