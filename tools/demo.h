#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace kx {

// The database of the component folder, as Config.ini names it.
struct DatabaseName {
  std::string database, server;
};

// Creates the database objects (safe to repeat) of the database that S_DBHelpForKX, created by name
// and called late-bound, names in its connection string, and returns that database's name.
DatabaseName SetUpDatabase();

// Sets up the database of the component folder and walks records through their life.
int RunDemo(std::ostream& out);

// Runs one demo step the way a host runs a call, in its own transaction scope, and prints its
// title and result or error; false when it failed.
bool RunStep(std::ostream& out, const std::string& title, const std::function<std::string()>& call);

// Walks a container retrieving work file through its life: added with three lines, each line
// marked handled in turn, then finished; the database must be set up already.
int RunRetrievingDemo(std::ostream& out);

// Walks a job order through its life: added with container lines, found, issued, given a note,
// cancelled and removed; the database must be set up already.
int RunJobOrderDemo(std::ostream& out);

}  // namespace kx
