// The numbers the system knows this process and its parent by.
#pragma once

long ThisProcessId();

// The parent's now: once the parent has ended, the process that adopted
// this one.
long ParentProcessId();
