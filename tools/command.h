// What the two halves of the `kx` command share: running one call and printing its outcome, the
// note on Config.ini, and the loading of the modules the command runs in. Output goes through C
// stdio: a plain call (tools/kx_main.cpp) sets up no iostreams.
#pragma once

#include <string>
#include <vector>

#include "kx/error.h"

namespace kx::command {

// The module that holds the command-line parser and every command (libkx_cli.so, in the
// component's own folder), and its entry point: `int kx_cli_main(int argc, char** argv)`.
inline constexpr const char* kCliModule = "libkx_cli.so";
inline constexpr const char* kCliEntry = "kx_cli_main";
using CliEntry = int(int argc, char** argv);

// Prints `e` as the command reports a failure (JSON on stdout, or a line on stderr); returns 1.
int Fail(const Error& e, bool json);

// Runs the call in-process, or sends it to the service at `url`, and prints its outcome; the exit
// status. An argument "@PATH" is the content of the file PATH.
int Call(const std::string& className, const std::string& member, const std::vector<std::string>& rawArgs,
         bool json, bool transaction, const std::string& url, const std::string& token);

// Tells on stderr which Config.ini the command reads, or that there is none, and what in it cannot
// be used (naming the file and the key).
void ConfigNote();

// The entry point `name` of the service module, loaded on first use from the component's own
// folder; a module that cannot be loaded fails with kx::Error naming it.
void* ServiceEntry(const char* name);

}  // namespace kx::command
