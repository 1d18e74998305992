// Filled in by the stack work.
