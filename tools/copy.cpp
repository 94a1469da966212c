#include "tools/copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "kx/error.h"
#include "kx/host.h"
#include "runtime/db/copy.h"
#include "shared/s_db_help_for_kx.h"

namespace kx {
namespace {

// The database of one installation: the connection string and limits its Config.ini gives.
struct Installation {
  std::string home, connectionString;
  db::Limits limits;
};

// Reads the settings of the installation in folder `home` as a call made there would.
Installation ReadInstallation(const std::string& home) {
  struct stat st {};
  if (stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw Error(kComponentError, "kx copy", home + ": no such folder");
  // The settings are those of the component folder: it is this one while they are read.
  const char* before = std::getenv("KX_HOME");
  const std::optional<std::string> kept = before ? std::optional<std::string>(before) : std::nullopt;
  setenv("KX_HOME", home.c_str(), 1);
  struct Restore {
    const std::optional<std::string>& kept;
    ~Restore() { kept ? setenv("KX_HOME", kept->c_str(), 1) : unsetenv("KX_HOME"); }
  } restore{kept};
  const std::string path = ConfigPath();
  if (access(path.c_str(), R_OK) != 0) throw Error(kComponentError, "kx copy", path + ": no such file");
  if (const std::string problem = config::Problem(path); !problem.empty())
    throw Error(kComponentError, "kx copy", problem);
  return {home, S_DBHelpForKX().GetConnectionString(), config::ReadLimits(path)};
}

std::unique_ptr<db::Connection> OpenInstallation(const Installation& side) {
  return db::Open(db::ConnectionInfo::Parse(side.connectionString), db::OpenMode::Existing, side.limits);
}

// Progress on a terminal, overwritten in place; each table copied on a line of its own.
class Report : public db::CopyListener {
 public:
  void Progress(const db::ComponentTable& table, int64_t done, int64_t total) override {
    if (!terminal_) return;
    std::cerr << "\r\033[K" << table.name << ": " << done << " of " << total << " rows" << std::flush;
  }
  void Copied(const db::ComponentTable& table, int64_t rows) override {
    if (terminal_) std::cerr << "\r\033[K" << std::flush;
    std::cout << table.name << ": " << rows << " rows copied" << std::endl;
    copied.push_back(table.name);
  }
  std::vector<std::string> copied;

 private:
  bool terminal_ = isatty(STDERR_FILENO) != 0;
};

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

}  // namespace

CopyCommand::CopyCommand(CLI::App& app) {
  command_ = app.add_subcommand(
      "copy",
      "copy every table of the component from the database of installation --from to that of --to\n"
      "(each a component folder with its Config.ini; any engines), keeping every key and value: each\n"
      "table in one transaction on the target, so that a failure leaves it as it was. A target that\n"
      "already holds rows is refused unless --replace. Stop the callers of both while it runs.\n"
      "With --check, nothing is copied: both sides are compared table by table.");
  command_->add_option("--from", from_, "the component folder of the source")->required();
  command_->add_option("--to", to_, "the component folder of the target")->required();
  command_->add_flag("--replace", replace_, "delete the target's rows of each table before copying it");
  command_->add_flag("--check", check_, "compare row counts and a checksum of every row; exit 1 when they differ");
  command_->add_option("--batch", batchRows_, "rows read and written at a time (default 5000)")
      ->check(CLI::Range(int64_t{1}, int64_t{1000000}));
  command_->get_option("--replace")->excludes("--check");
}

int CopyCommand::Run() { return check_ ? Check() : Copy(); }

int CopyCommand::Copy() {
  Report report;
  try {
    const Installation from = ReadInstallation(from_), to = ReadInstallation(to_);
    if (from.connectionString == to.connectionString)
      throw Error(kComponentError, "kx copy", "--from and --to name the same database");
    auto source = OpenInstallation(from);
    db::InstallDatabase(to.connectionString);
    auto target = OpenInstallation(to);
    if (!replace_) {
      if (const auto held = db::TablesWithRows(*target); !held.empty())
        throw Error(kComponentError, "kx copy",
                    "the target already holds rows in " + Joined(held) +
                        "; nothing was copied (--replace deletes them first)");
    }
    db::CopyTables(*source, *target, replace_, batchRows_, report);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "\r\033[K" << "kx copy: " << e.what() << std::endl;
    if (!report.copied.empty()) std::cerr << "kx copy: tables copied before the failure: " << Joined(report.copied) << std::endl;
    return 1;
  }
}

int CopyCommand::Check() {
  try {
    const Installation from = ReadInstallation(from_), to = ReadInstallation(to_);
    auto source = OpenInstallation(from);
    auto target = OpenInstallation(to);
    bool same = true;
    for (const auto& table : db::CompareTables(*source, *target, batchRows_)) {
      same = same && table.same;
      if (table.same) {
        std::cout << table.table << ": " << table.sourceRows << " rows, the same" << std::endl;
        continue;
      }
      std::cout << table.table << ": differs: " << table.sourceRows << " rows on the source, " << table.targetRows
                << " on the target" << std::endl;
      for (const auto& line : table.differences) std::cout << "  " << line << std::endl;
    }
    return same ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << "kx copy --check: " << e.what() << std::endl;
    return 2;
  }
}

}  // namespace kx
