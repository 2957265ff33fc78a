#include "app/mp/mp_options.h"

#include <CLI/CLI.hpp>

namespace kvx::mp {

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  CLI::App app{"kvx-mp: the terminal station for USB flash disk production", "kvx-mp"};
  app.require_subcommand(1);
  // Station options may also follow the command ("produce --sim 8").
  app.fallthrough();
  MpOptions o;
  int simDisks = 0;
  app.add_option("--home", o.home, "station folder (config.dat, ini file, Lang/, LoginFiles/, ...)");
  auto* sim = app.add_option("--sim", simDisks, "work on N simulated healthy disks")
                  ->check(CLI::Range(1, 64));
  auto* profile = app.add_option("--sim-profile", o.simProfile, "work on the disks of a JSON simulation profile");
  sim->excludes(profile);

  auto* ports = app.add_subcommand("ports", "refresh and list the attached ports");
  auto* produce = app.add_subcommand("produce", "produce every attached, identified disk");
  int scanLevel = -1;
  auto* level = produce->add_option("--scan-level", scanLevel, "scan level index (0-based)")
                    ->check(CLI::Range(0, 79));
  produce->add_flag("--json", o.json, "print one JSON array of results instead of lines");
  produce->add_option("--report", o.reportFile, "append one CSV row per job to this production log");
  produce->add_option("--export-dir", o.exportDir,
                      "simulation only: write each disk's logical image and raw NAND here");

  auto* config = app.add_subcommand("config", "read or change the settings image");
  config->require_subcommand(1);
  auto* show = config->add_subcommand("show", "print every setting");
  auto* get = config->add_subcommand("get", "print one setting");
  get->add_option("KEY", o.key)->required();
  auto* set = config->add_subcommand("set", "change one setting and save");
  set->add_option("KEY", o.key)->required();
  set->add_option("VALUE", o.value)->required();

  auto* flash = app.add_subcommand("flash-types", "the flash-type table");
  flash->require_subcommand(1);
  auto* flashList = flash->add_subcommand("list", "list the flash types");
  auto* flashExport = flash->add_subcommand("export", "write the table as JSON");
  flashExport->add_option("FILE", o.file)->required();
  auto* flashImport = flash->add_subcommand("import", "replace the table from JSON and save");
  flashImport->add_option("FILE", o.file)->required();

  auto* code = app.add_subcommand("code-types", "the firmware code types");
  code->require_subcommand(1);
  auto* codeList = code->add_subcommand("list", "list the code types");
  auto* codeLoad = code->add_subcommand("load", "load a firmware image file into a code type and save");
  codeLoad->add_option("INDEX", o.index)->required()->check(CLI::Range(0, 7));
  codeLoad->add_option("FILE", o.file)->required();

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  ParseResult result;
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    result.message = app.help();
    return result;
  } catch (const CLI::CallForAllHelp&) {
    result.message = app.help("", CLI::AppFormatMode::All);
    return result;
  } catch (const CLI::ParseError& e) {
    result.exitCode = kExitUsage;
    result.message = std::string("kvx-mp: ") + e.what();
    return result;
  }
  if (*sim) o.simDisks = simDisks;
  if (*level) o.scanLevel = scanLevel;
  if (*ports) o.command = Command::Ports;
  if (*produce) o.command = Command::Produce;
  if (*show) o.command = Command::ConfigShow;
  if (*get) o.command = Command::ConfigGet;
  if (*set) o.command = Command::ConfigSet;
  if (*flashList) o.command = Command::FlashTypesList;
  if (*flashExport) o.command = Command::FlashTypesExport;
  if (*flashImport) o.command = Command::FlashTypesImport;
  if (*codeList) o.command = Command::CodeTypesList;
  if (*codeLoad) o.command = Command::CodeTypesLoad;
  if (!o.exportDir.empty() && !o.simDisks && o.simProfile.empty()) {
    result.exitCode = kExitUsage;
    result.message = "kvx-mp: --export-dir works only with --sim or --sim-profile";
    return result;
  }
  result.options = o;
  return result;
}

}  // namespace kvx::mp
