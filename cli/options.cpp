#include "options.h"

#include <algorithm>

namespace facset::cli {
namespace {

// Where the help texts start, as "  --firmware PATH  " ends.
constexpr std::size_t kHelpColumn = 19;

const OptionSpec* Lookup(OptionTable table, std::string_view name) {
  for (const OptionSpec& o : table) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

bool IsPositional(const std::string& a) {
  return a.size() < 2 || a[0] != '-' || (a[1] >= '0' && a[1] <= '9');
}

}  // namespace

bool ParsedArgs::Has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(), [&](const GivenOption& o) { return o.spec->name == name; });
}

std::optional<std::string> ParsedArgs::Value(std::string_view name) const {
  for (const GivenOption& o : options) {
    if (o.spec->name == name) return o.value;
  }
  return std::nullopt;
}

std::vector<std::string> ParsedArgs::Values(std::string_view name) const {
  std::vector<std::string> out;
  for (const GivenOption& o : options) {
    if (o.spec->name == name) out.push_back(o.value);
  }
  return out;
}

ParsedArgs ParseArgs(OptionTable table, std::span<const std::string> args) {
  ParsedArgs p;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!options || IsPositional(a)) {
      p.positionals.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    if (a == "--help" || a == "-h") {
      p.help = true;
      continue;
    }
    const OptionSpec* spec = Lookup(table, a);
    if (!spec) {
      p.error = "unknown option " + a;
      return p;
    }
    // A flag said twice says the same; a value given twice is a conflict.
    if (!spec->repeatable && !spec->value.empty() && p.Has(spec->name)) {
      p.error = a + " given twice";
      return p;
    }
    GivenOption given{spec, {}, i, 1};
    if (!spec->value.empty()) {
      if (i + 1 >= args.size()) {
        p.error = a + " needs a value";
        return p;
      }
      given.value = args[++i];
      given.count = 2;
    }
    p.options.push_back(std::move(given));
  }
  return p;
}

std::string OptionHelp(OptionTable table) {
  std::string out;
  for (const OptionSpec& o : table) {
    std::string head = "  " + std::string(o.name);
    if (!o.value.empty()) head += " " + std::string(o.value);
    if (head.size() + 2 > kHelpColumn) {
      out += head + "\n";
      head.clear();
    }
    head.resize(kHelpColumn, ' ');
    std::string_view text = o.help;
    for (;;) {
      const std::size_t nl = text.find('\n');
      out += head + std::string(text.substr(0, nl)) + "\n";
      if (nl == std::string_view::npos) break;
      text.remove_prefix(nl + 1);
      head.assign(kHelpColumn, ' ');
    }
  }
  return out;
}

}  // namespace facset::cli
