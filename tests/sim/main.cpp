// korvane_sim: the simulated transmitter and receiver as a program of its own, for trying the
// control panel without hardware. Prints the link to give the control panel ("127.0.0.1:<port>"
// for --network-address, or the device path for --serial-port) and runs until interrupted.
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/sim_devices.h"

namespace {

const char kUsage[] =
    R"(Simulated Korvane transmitter (address 1) and receiver (address 2).

Usage: korvane_sim [options]

Link:
  -p, --port <n>            TCP port on 127.0.0.1 (default: a free port)
  -t, --pty                 serve a pseudo-terminal instead of TCP
Behaviour:
  -r, --rate <hz>           telemetry records per second and device, 0 to 100000 (default 10)
  -s, --seed <n>            seed of every pseudo-random choice (default 1)
      --log-period <ms>     time between log lines, 0 for event lines only (default 3000)
      --log-rate <n>        log lines per second across both devices, up to 100000
                            (replaces --log-period; default 0: use --log-period)
      --log-errors          log lines of every level, errors included (default: info lines,
                            one in eight a warning)
      --reboot-delay <ms>   time from Reboot to running the new image (default 200)
      --charge-ticks <n>    telemetry ticks from switching on to a full battery (default 300)
      --charging            start with charging switched on (parameter 60 of the transmitter)
      --tx-firmware <id>    firmware id the transmitter runs at start (default 0x202)
      --rx-firmware <id>    firmware id the receiver runs at start (default 0x101)
Faults (<dev> is tx or rx):
      --silent <dev>        the device answers nothing
      --drop <p>            drop each answer with probability p
      --duplicate           send every answer twice
      --corrupt <rate>      change each byte sent with this rate
      --delay <ms>          delay every answer
      --status-zero <dev>:<id>  answer requests for this parameter with status 0 (repeatable)
      --ota-reply <dev>:<step>:<status>  answer a firmware-update step differently (repeatable);
                            step: begin, data, end, reboot, query; status: ack, nak, pend
      --wrong-id <dev>      report a wrong firmware id after each reboot
      --stop-telemetry <dev>  send no telemetry from the device
  -h, --help                show this text
)";

Address ParseDevice(const std::string& text) {
  if (text == "tx" || text == "TX" || text == "1") return TX;
  if (text == "rx" || text == "RX" || text == "2") return RX;
  throw std::invalid_argument("unknown device '" + text + "' (tx or rx)");
}

unsigned long ParseNumber(const std::string& text) {
  size_t used = 0;
  const unsigned long v = std::stoul(text, &used, 0);
  if (used != text.size()) throw std::invalid_argument("not a number: '" + text + "'");
  return v;
}

double ParseReal(const std::string& text) {
  size_t used = 0;
  const double v = std::stod(text, &used);
  if (used != text.size()) throw std::invalid_argument("not a number: '" + text + "'");
  return v;
}

OtaRequestType ParseStep(const std::string& text) {
  if (text == "begin") return OtaRequestType::BeginUpdate;
  if (text == "data") return OtaRequestType::ImageData;
  if (text == "end") return OtaRequestType::EndUpdate;
  if (text == "reboot") return OtaRequestType::Reboot;
  if (text == "query") return OtaRequestType::QueryFirmwareId;
  throw std::invalid_argument("unknown step '" + text + "'");
}

OtaControlPacket::Type ParseStatus(const std::string& text) {
  if (text == "ack") return OtaControlPacket::Ack;
  if (text == "nak") return OtaControlPacket::Nak;
  if (text == "pend") return OtaControlPacket::Pend;
  throw std::invalid_argument("unknown status '" + text + "'");
}

std::pair<std::string, std::string> SplitFirst(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) throw std::invalid_argument("missing ':' in '" + text + "'");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

enum LongOnly {
  kLogPeriod = 1000,
  kLogRate,
  kLogErrors,
  kRebootDelay,
  kChargeTicks,
  kCharging,
  kTxFirmware,
  kRxFirmware,
  kSilent,
  kDrop,
  kDuplicate,
  kCorrupt,
  kDelay,
  kStatusZero,
  kOtaReply,
  kWrongId,
  kStopTelemetry,
};

}  // namespace

int main(int argc, char** argv) {
  const option options[] = {
      {"port", required_argument, nullptr, 'p'},
      {"pty", no_argument, nullptr, 't'},
      {"rate", required_argument, nullptr, 'r'},
      {"seed", required_argument, nullptr, 's'},
      {"help", no_argument, nullptr, 'h'},
      {"log-period", required_argument, nullptr, kLogPeriod},
      {"log-rate", required_argument, nullptr, kLogRate},
      {"log-errors", no_argument, nullptr, kLogErrors},
      {"reboot-delay", required_argument, nullptr, kRebootDelay},
      {"charge-ticks", required_argument, nullptr, kChargeTicks},
      {"charging", no_argument, nullptr, kCharging},
      {"tx-firmware", required_argument, nullptr, kTxFirmware},
      {"rx-firmware", required_argument, nullptr, kRxFirmware},
      {"silent", required_argument, nullptr, kSilent},
      {"drop", required_argument, nullptr, kDrop},
      {"duplicate", no_argument, nullptr, kDuplicate},
      {"corrupt", required_argument, nullptr, kCorrupt},
      {"delay", required_argument, nullptr, kDelay},
      {"status-zero", required_argument, nullptr, kStatusZero},
      {"ota-reply", required_argument, nullptr, kOtaReply},
      {"wrong-id", required_argument, nullptr, kWrongId},
      {"stop-telemetry", required_argument, nullptr, kStopTelemetry},
      {nullptr, 0, nullptr, 0},
  };

  SimConfig config;
  // Settings applied once the devices exist, in command-line order.
  std::vector<std::function<void(SimDevices&)>> faults;
  try {
    int c;
    while ((c = getopt_long(argc, argv, "p:tr:s:h", options, nullptr)) != -1) {
      const std::string arg = optarg ? optarg : "";
      switch (c) {
        case 'p': {
          const unsigned long port = ParseNumber(arg);
          if (port > 65535) throw std::invalid_argument("port above 65535");
          config.tcp_port = static_cast<uint16_t>(port);
          break;
        }
        case 't':
          config.use_pty = true;
          break;
        case 'r': {
          const unsigned long hz = ParseNumber(arg);
          if (hz > 100000) throw std::invalid_argument("rate above 100000");
          config.telemetry_hz = static_cast<int>(hz);
          break;
        }
        case 's':
          config.seed = static_cast<uint32_t>(ParseNumber(arg));
          break;
        case 'h':
          std::cout << kUsage;
          return 0;
        case kLogPeriod:
          config.log_period = std::chrono::milliseconds(ParseNumber(arg));
          break;
        case kLogRate: {
          const unsigned long rate = ParseNumber(arg);
          if (rate > 100000) throw std::invalid_argument("log rate above 100000");
          config.log_rate = static_cast<int>(rate);
          break;
        }
        case kLogErrors:
          config.log_errors = true;
          break;
        case kRebootDelay:
          config.reboot_delay = std::chrono::milliseconds(ParseNumber(arg));
          break;
        case kChargeTicks:
          config.charge_ticks = static_cast<int>(ParseNumber(arg));
          break;
        case kCharging:
          faults.push_back([](SimDevices& s) { s.SetValue(TX, static_cast<ParamId>(60), 1); });
          break;
        case kTxFirmware:
        case kRxFirmware: {
          const auto id = static_cast<uint32_t>(ParseNumber(arg));
          const Address a = c == kTxFirmware ? TX : RX;
          faults.push_back([a, id](SimDevices& s) { s.SetFirmwareId(a, id); });
          break;
        }
        case kSilent: {
          const Address a = ParseDevice(arg);
          faults.push_back([a](SimDevices& s) { s.SetSilent(a, true); });
          break;
        }
        case kDrop: {
          const double p = ParseReal(arg);
          faults.push_back([p](SimDevices& s) { s.SetDropProbability(p); });
          break;
        }
        case kDuplicate:
          faults.push_back([](SimDevices& s) { s.SetDuplicateAnswers(true); });
          break;
        case kCorrupt: {
          const double rate = ParseReal(arg);
          faults.push_back([rate](SimDevices& s) { s.SetCorruptRate(rate); });
          break;
        }
        case kDelay: {
          const auto ms = std::chrono::milliseconds(ParseNumber(arg));
          faults.push_back([ms](SimDevices& s) { s.SetAnswerDelay(ms); });
          break;
        }
        case kStatusZero: {
          const auto parts = SplitFirst(arg);
          const Address a = ParseDevice(parts.first);
          const auto id = static_cast<ParamId>(ParseNumber(parts.second));
          faults.push_back([a, id](SimDevices& s) { s.SetStatusZero(a, id, true); });
          break;
        }
        case kOtaReply: {
          const auto first = SplitFirst(arg);
          const auto second = SplitFirst(first.second);
          const Address a = ParseDevice(first.first);
          const OtaRequestType step = ParseStep(second.first);
          const OtaControlPacket::Type status = ParseStatus(second.second);
          faults.push_back([a, step, status](SimDevices& s) { s.SetOtaReply(a, step, status); });
          break;
        }
        case kWrongId: {
          const Address a = ParseDevice(arg);
          faults.push_back([a](SimDevices& s) { s.SetWrongFirmwareIdAfterReboot(a, true); });
          break;
        }
        case kStopTelemetry: {
          const Address a = ParseDevice(arg);
          faults.push_back([a](SimDevices& s) { s.SetTelemetryStopped(a, true); });
          break;
        }
        default:
          std::cerr << kUsage;
          return 2;
      }
    }
    if (optind < argc) {
      throw std::invalid_argument(std::string("unexpected argument: ") + argv[optind]);
    }
  } catch (const std::exception& e) {
    std::cerr << "korvane_sim: " << e.what() << "\n" << kUsage;
    return 2;
  }

  // Block the stop signals before any thread starts, then wait for one of them here.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  SimDevices sim(config);
  for (const auto& f : faults) f(sim);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::cerr << "korvane_sim: " << e.what() << "\n";
    return 1;
  }
  std::cout << sim.LinkText() << std::endl;

  int sig = 0;
  sigwait(&stop_signals, &sig);
  sim.Stop();
  return 0;
}
