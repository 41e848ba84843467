// facset-cli download: the command, its help, and its way to one target or
// several (gang.cpp).
#include <QCoreApplication>
#include <cstdio>

#include "cli.h"
#include "download/run_settings.h"
#include "download_options.h"
#include "download_target.h"
#include "gang.h"
#include "output.h"
#include "value_help.h"
#include "platform/text_encoding.h"
#include "records/record_time.h"

namespace facset::cli {
namespace {

int RunDownloadCommand(std::span<const std::string> given) {
  SingleTarget single;
  if (auto code = RunDownloadTargets(kDownloadCommand, given, single)) return *code;
  const ParsedArgs parsed = ParseArgs(kDownloadOptions, single.args);
  if (!parsed.error.empty()) return UsageError(kDownloadCommand, parsed.error);
  DownloadOptions o;
  if (std::string error = ReadDownloadOptions(parsed, o); !error.empty()) return UsageError(kDownloadCommand, error);

  const UdpPortSetting udp = ReadScaleUdpPortEnv();
  TargetReport t;
  if (!udp.error.empty()) {
    t.started = UtcNowIso().substr(0, 19) + "Z";
    t.verdict = RefusedInput(udp.error);
  } else {
    ArmInterrupt();
    int argc = 1;
    char name[] = "facset-cli";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    try {
      t = RunTarget(o, udp.port);
    } catch (const std::exception& e) {
      t.verdict.exitCode = kExitError;
      t.verdict.reason = e.what();
    }
    DisarmInterrupt();
  }

  if (!t.verdict.reason.empty()) Stderr().Write("facset-cli: " + EscapeForTerminal(t.verdict.reason) + "\n");
  // A targets file gives an array whatever the number of its lines.
  if (o.json) Stdout().Write(single.jsonArray ? "[\n" + JsonOf(t) + "]\n" : JsonOf(t));
  return t.verdict.exitCode;
}

}  // namespace

const Command kDownloadCommand{
    "download",
    "download FILE [OPTIONS]",
    "send a parameter file (and firmware) to a scale",
    "Sends the parameter block of FILE to the scale, as the window's download\n"
    "button does, and then the firmware image when FILE asks for it. FILE is only\n"
    "read. Nothing is sent before FILE, the image and the link are checked. Its\n"
    "link settings apply unless an option overrides them:\n",
    RunDownloadCommand,
    kDownloadOptions,
    "Values for this run only (--set NAME=VALUE, a targets table's columns):\n"
    FACSET_VALUE_RULES_HELP
    "VALUE may also be seq:START[:STEP] (the targets, in their order, get START,\n"
    "START+STEP, ...) or counter:COUNTER (each target the next value of a named\n"
    "counter, see `facset-cli counter`; a value taken is never given again, even\n"
    "when that target's run then fails). A refused NAME or VALUE exits 6 before\n"
    "anything is sent; the record lists the values each scale got (history).\n"
    "The messages are those of the window's log, in the language FILE names\n"
    "(\"Set\"/\"lngstr\", \"_cn\" when none), from the language file in the tool's\n"
    "folder (facset-cli where), or built in when that file cannot be read or\n"
    "written.\n"
    "One download at a time per scale on this station: a second one waits up to\n"
    "3 s for the first to end, then is refused naming the process that holds it.\n"
    "Environment: FACSET_SCALE_UDP_PORT=PORT sends to that UDP port instead of\n"
    "5001 (for a simulated scale).\n"
    "Exit status:\n"
    "  0    done: the block was acknowledged (and the upgrade completed), and the\n"
    "       scale's answers prove it\n"
    "  1    other error\n"
    "  2    bad usage\n"
    "  3    the scale could not be reached or refused the log-on\n"
    "  4    the parameter block was not acknowledged\n"
    "  5    the firmware upgrade failed\n"
    "  6    input refused before connecting, or the scale in use by another\n"
    "       process of this station (nothing was sent)\n"
    "  7    not proven: every step was acknowledged, but an answer may belong\n"
    "       to another request (a late or doubled answer); download again\n"
    "  130  interrupted (SIGINT, SIGTERM, SIGHUP): the run stops, closes its\n"
    "       link and keeps its record; stderr says when the scale may be left\n"
    "       in the middle of a firmware upgrade\n"
    "Output that cannot be written (a closed pipe, a full disk, a closed\n"
    "terminal) never ends a run: stderr says so once, the record keeps the\n"
    "whole log and the exit status stays the scale's.\n"};

}  // namespace facset::cli
