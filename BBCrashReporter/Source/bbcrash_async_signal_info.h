#pragma once
// Names of signals and signal codes in the numbering the crash report
// carries (the macOS one). Async-signal-safe: static texts only.

// The signal's name ("SIGSEGV"), or null when the number has none.
const char *bbcrash_async_signal_signame(int signo);

// The code's name for that signal ("SEGV_MAPERR"), or null when the pair has
// none.
const char *bbcrash_async_signal_sigcode(int signo, int code);
