// The single way the tool ends early: a message on standard output and
// exit code 1.
#pragma once

// Writes "symweld: " and the message with CR LF, returns every chunk of the
// memory manager and ends the process with exit code 1.
[[noreturn]] void fatalError(const char* message);

// Writes the usage text.
void printUsage();
