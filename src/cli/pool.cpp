// quillon-cli pool: lists of per-unit values (MAC addresses, keys, a customer's serials) in the
// run records. `import` loads a CSV file's column once, `status` counts what is left.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/json_text.h"
#include "cli/output.h"
#include "records/fleet.h"
#include "records/pool_list.h"
#include "records/run_records.h"
#include "report/words.h"

namespace quillon::cli {
namespace {

struct PoolOptions {
  std::string name;
  std::string file;
  std::string column;
  std::string record;
  std::string log;
  std::string fleet;
  bool json = false;
};

// Where the pools are: the fleet's record server, or a station's run records (made when
// importing into none yet). Both answer the same two questions.
struct Pools {
  std::unique_ptr<records::RunRecords> records;
  std::unique_ptr<records::FleetServer> fleet;
  std::string where;
  std::optional<int> Import(const std::string& pool, const std::vector<records::ListedValue>& values, std::string& error) {
    return fleet ? fleet->ImportPool(pool, values, error) : records->ImportPool(pool, values, error);
  }
  std::optional<records::PoolCount> Count(const std::string& pool, std::string& error) {
    return fleet ? fleet->CountPool(pool, error) : records->CountPool(pool, error);
  }
};

// The pools, or nothing (said).
std::optional<Pools> OpenPools(const Context& context, const PoolOptions& options, bool importing) {
  Pools pools;
  std::string error;
  if (!options.fleet.empty()) {
    pools.fleet = records::FleetServer::Connect(options.fleet, error);
    if (!pools.fleet) {
      Say(stderr, "error: --fleet: %s\n", {error});
      return std::nullopt;
    }
    pools.where = pools.fleet->Where();
    return pools;
  }
  if (!records::RecordsAvailable()) {
    Say(stderr, "error: this build of quillon-cli has no run records: it was made without SQLite\n");
    return std::nullopt;
  }
  pools.where = context.RecordsPath(options.record, options.log);
  std::error_code missing;
  if (!importing && !std::filesystem::exists(Utf8Path(pools.where), missing)) {
    Say(stderr, "error: there are no run records at %s (quillon-cli pool import makes them; --record names another file)\n",
        {pools.where});
    return std::nullopt;
  }
  if (importing) {
    std::error_code ignored;
    std::filesystem::create_directories(Utf8Path(pools.where).parent_path(), ignored);
  }
  pools.records = importing ? records::RunRecords::Open(pools.where, error) : records::RunRecords::OpenToRead(pools.where, error);
  if (!pools.records) {
    Say(stderr, "error: the run records %s cannot be used: %s\n", {pools.where, error});
    return std::nullopt;
  }
  return pools;
}

// Why a list cannot be imported, in words.
void SayListProblem(const PoolOptions& options, const records::ListProblem& problem) {
  using Kind = records::ListProblem::Kind;
  const std::string line = std::to_string(problem.line);
  switch (problem.kind) {
    case Kind::kNoColumn: {
      std::string columns;
      for (const auto& name : problem.header) columns += (columns.empty() ? "" : ", ") + name;
      Say(stderr, "error: %s: its first line has no column \"%s\" (it has: %s); --column takes a name or a number from 1\n",
          {options.file, options.column, columns});
      break;
    }
    case Kind::kBadQuotes:
      Say(stderr, "error: %s line %s: a quoted field does not end on its line\n", {options.file, line});
      break;
    case Kind::kEmptyValue:
      Say(stderr, "error: %s line %s: no value in column \"%s\"\n", {options.file, line, options.column});
      break;
    case Kind::kDuplicate:
      Say(stderr, "error: %s line %s: \"%s\" is on line %s already; a value goes to one unit only\n",
          {options.file, line, problem.value, std::to_string(problem.first_line)});
      break;
    case Kind::kNoValues:
      Say(stderr, "error: %s has no values below its first line (the column names)\n", {options.file});
      break;
  }
}

int RunImport(const Context& context, const PoolOptions& options) {
  std::ifstream in(Utf8Path(options.file), std::ios::binary);
  if (!in) {
    Say(stderr, "error: %s cannot be read\n", {options.file});
    return kExitUsage;
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  records::ListProblem problem;
  const auto values = records::ReadPoolList(text, options.column, problem);
  if (!values) {
    SayListProblem(options, problem);
    Say(stderr, "nothing was imported\n");
    return kExitUsage;
  }
  auto pools = OpenPools(context, options, true);
  if (!pools) return kExitFailure;
  std::string error;
  const auto added = pools->Import(options.name, *values, error);
  const auto count = added ? pools->Count(options.name, error) : std::nullopt;
  if (!count) {
    Say(stderr, "error: nothing was imported into %s: %s\n", {pools->where, error});
    return kExitFailure;
  }
  Say(stdout, "pool %s: %s values added, %s already there; %s free, %s issued, %s spent (%s)\n",
      {options.name, std::to_string(*added), std::to_string(values->size() - static_cast<std::size_t>(*added)),
       std::to_string(count->free), std::to_string(count->issued), std::to_string(count->spent), pools->where});
  return kExitSuccess;
}

int RunStatus(const Context& context, const PoolOptions& options) {
  auto pools = OpenPools(context, options, false);
  if (!pools) return kExitFailure;
  std::string error;
  const auto count = pools->Count(options.name, error);
  if (!count) {
    Say(stderr, "error: the pools at %s cannot be read: %s\n", {pools->where, error});
    return kExitFailure;
  }
  if (!count->exists()) {
    Say(stderr, "error: there is no pool %s in %s (quillon-cli pool import %s FILE.csv --column C makes it)\n",
        {options.name, pools->where, options.name});
    return kExitUsage;
  }
  if (options.json) {
    const nlohmann::ordered_json object{{"free", count->free}, {"issued", count->issued}, {"spent", count->spent}};
    Print(stdout, "%s\n", JsonText(object).c_str());
  } else {
    Say(stdout, "pool %s: %s free, %s issued, %s spent\n",
        {options.name, std::to_string(count->free), std::to_string(count->issued), std::to_string(count->spent)});
  }
  return kExitSuccess;
}

// --record, --log and --fleet, as history takes them.
void AddWhere(CLI::App& sub, PoolOptions& options) {
  auto* record = sub.add_option("--record", options.record, "the run records (default: quillon-runs.db beside the log)")
                     ->transform(AbsolutePath());
  sub.add_option("--log", options.log, "the log whose folder holds the run records")->transform(AbsolutePath());
  sub.add_option("--fleet", options.fleet,
                 "the fleet's pools, which every station with --fleet draws from (a PostgreSQL URL or \"host=... dbname=...\")")
      ->check(NotEmpty())
      ->excludes(record);
}

}  // namespace

void AddPoolCommand(CLI::App& app, const Context& context, int& status) {
  auto options = std::make_shared<PoolOptions>();
  auto* pool = app.add_subcommand("pool", "Lists of per-unit values (MAC addresses, keys) a station stamps, one per unit");
  pool->require_subcommand(1);
  auto* import = pool->add_subcommand("import", "Load a column of a CSV file into a pool; a value already there is kept as it is");
  import->add_option("NAME", options->name, "the pool")->required()->check(NotEmpty());
  import->add_option("FILE", options->file, "the CSV file; its first line names the columns")->required()->transform(AbsolutePath());
  import->add_option("--column", options->column, "the column of the values: its name, or its number from 1")
      ->required()
      ->check(NotEmpty());
  AddWhere(*import, *options);
  import->callback([options, &context, &status] { status = RunImport(context, *options); });
  auto* count = pool->add_subcommand("status", "How many values of a pool are free, issued and spent");
  count->add_option("NAME", options->name, "the pool")->required()->check(NotEmpty());
  count->add_flag("--json", options->json, "{\"free\": N, \"issued\": N, \"spent\": N}");
  AddWhere(*count, *options);
  count->callback([options, &context, &status] { status = RunStatus(context, *options); });
}

}  // namespace quillon::cli
