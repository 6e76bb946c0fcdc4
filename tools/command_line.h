#pragma once

// The programs' command lines on CLI11, with one set of habits: --help and --version answer on
// standard output and exit 0; a usage error is "PROGRAM: problem" and the usage on standard
// error, exit 2; "--option value" and "--option=value" both work; an option given twice keeps
// its last value, as the scripts that append to a command line expect. Main thread, before
// anything else runs.

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Version.h"

namespace veltra {

class CommandLine {
 public:
  // `synopsis`: the usage lines after "usage: ", in the program's own words (CLI11's generated
  // line cannot show alternatives such as the window and the headless forms).
  CommandLine(std::string program, const std::string& description, std::string synopsis)
      : program_(std::move(program)), synopsis_(std::move(synopsis)), app_(description, program_) {
    app_.set_version_flag("--version", program_ + " " + kVersion, "Print the version and exit");
    app_.set_help_flag("-h,--help", "Print this help and exit");
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto formatter = std::make_shared<Formatter>(synopsis_);
    formatter->column_width(28);
    app_.formatter(formatter);
  }

  CLI::App& app() { return app_; }

  // The exit code when the program is done (0 after --help or --version, 2 after a usage
  // error), or nothing when it goes on.
  std::optional<int> parse(int argc, char** argv) {
    try {
      app_.parse(argc, argv);
      return std::nullopt;
    } catch (const CLI::CallForHelp&) {
      std::fputs(app_.help().c_str(), stdout);
      return 0;
    } catch (const CLI::CallForVersion& version) {
      std::printf("%s\n", version.what());
      return 0;
    } catch (const CLI::ParseError& error) {
      // Unknown arguments first, in the programs' own words: CLI11 looks for missing options
      // before unknown ones, but a misspelt "--lisen" is what explains a missing "--listen".
      const std::vector<std::string> unknown = app_.remaining();
      const bool aboutArguments = dynamic_cast<const CLI::RequiredError*>(&error) ||
                                  dynamic_cast<const CLI::ExtrasError*>(&error);
      if (aboutArguments && !unknown.empty()) {
        return usageError("unexpected argument \"" + unknown.front() + "\"");
      }
      return usageError(error.what());
    }
  }

  // Says what is wrong and how the program is used on standard error; returns 2.
  int usageError(const std::string& problem) const {
    std::fprintf(stderr, "%s: %s\nusage: %s\n", program_.c_str(), problem.c_str(),
                 synopsis_.c_str());
    return 2;
  }

 private:
  class Formatter : public CLI::Formatter {
   public:
    explicit Formatter(std::string synopsis) : synopsis_(std::move(synopsis)) {}
    std::string make_usage(const CLI::App*, std::string) const override {
      return "usage: " + synopsis_ + "\n";
    }

   private:
    std::string synopsis_;
  };

  std::string program_;
  std::string synopsis_;
  CLI::App app_;
};

// Whether a window could open: a display server named in the environment, or another Qt platform
// (offscreen) that needs none. Without one Qt aborts, so the programs say so first.
inline bool windowPossible() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// Validators that say what they want: "--port: abc is not a whole number from 0 to 65535".
inline CLI::Validator wholeNumber(long low, long high) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
          return text + " is not a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high);
        }
        return {};
      },
      "");
}

// A number in [low, high] (`low` left out when `positive`: above 0).
inline CLI::Validator realNumber(double low, double high, bool positive) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        const bool fits = (positive ? value > 0 : value >= low) && value <= high;
        if (text.empty() || *end != '\0' || !fits) {
          char range[64];
          if (positive) {
            std::snprintf(range, sizeof range, "a positive number up to %.10g", high);
          } else {
            std::snprintf(range, sizeof range, "a number from %.10g to %.10g", low, high);
          }
          return text + " is not " + range;
        }
        return {};
      },
      "");
}

inline CLI::Validator decimalNumber(double low, double high) {
  return realNumber(low, high, false);
}

inline CLI::Validator positiveNumber(double high) {
  return realNumber(0, high, true);
}

}  // namespace veltra
