#include "emulator/DevEmuOptions.h"

#include <charconv>
#include <functional>
#include <map>

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T& value, int base = 10) {
  std::string digits = text;
  if (base == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  const char* end = digits.data() + digits.size();
  auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
  return !digits.empty() && ec == std::errc() && ptr == end;
}

bool ParseDouble(const std::string& text, double& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// "3.2" → major 3, minor 2.
bool ParseLoaderVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor) {
  const std::size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  return ParseNumber(text.substr(0, dot), major) && ParseNumber(text.substr(dot + 1), minor);
}

bool ParseBcdField(const std::string& text, std::size_t digits, std::uint32_t& value) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return ParseNumber(text, value, 16);
}

}  // namespace

std::optional<std::uint32_t> ParseEmuVersion(const std::string& text) {
  if (text == "0") return 0u;
  const std::size_t first = text.find('/');
  const std::size_t second = first == std::string::npos ? first : text.find('/', first + 1);
  if (second == std::string::npos) return std::nullopt;
  std::uint32_t year = 0, month = 0, day = 0;
  if (!ParseBcdField(text.substr(0, first), 4, year) ||
      !ParseBcdField(text.substr(first + 1, second - first - 1), 2, month) ||
      !ParseBcdField(text.substr(second + 1), 2, day)) {
    return std::nullopt;
  }
  return EmuVersionWord(static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month),
                        static_cast<std::uint8_t>(day));
}

std::optional<DevEmuOptions> ParseDevEmuOptions(const std::vector<std::string>& arguments, std::string& error) {
  DevEmuOptions options;
  EmulatorConfig& c = options.config;
  EmuFaults& f = c.faults;
  bool processorsGiven = false;

  using Handler = std::function<bool(const std::string&)>;
  auto u32 = [](std::uint32_t& field) -> Handler { return [&field](const std::string& v) { return ParseNumber(v, field); }; };
  auto i64 = [](std::int64_t& field) -> Handler { return [&field](const std::string& v) { return ParseNumber(v, field); }; };
  auto real = [](double& field) -> Handler { return [&field](const std::string& v) { return ParseDouble(v, field); }; };
  auto text = [](std::string& field) -> Handler { return [&field](const std::string& v) { field = v; return true; }; };
  auto status = [](std::optional<std::uint32_t>& field) -> Handler {
    return [&field](const std::string& v) {
      std::uint32_t value = 0;
      if (!ParseNumber(v, value, 16)) return false;
      field = value;
      return true;
    };
  };
  auto rate = [](double& field) -> Handler {
    return [&field](const std::string& v) { return ParseDouble(v, field) && field >= 0.0 && field <= 1.0; };
  };

  const std::map<std::string, Handler> withValue = {
      {"--bus", text(options.bus)},
      {"--udc", text(options.udc)},
      {"--no-interrupt-out",
       [&](const std::string& v) {
         const bool both = v == "both";
         if (!both && v != "application" && v != "bootloader") return false;
         if (both || v == "application") c.applicationInterruptOut = false;
         if (both || v == "bootloader") c.bootloaderInterruptOut = false;
         return true;
       }},
      {"--product", text(c.productString)},
      {"--loader-product", text(c.bootloaderProductString)},
      {"--mcu",
       [&](const std::string& v) {
         const std::size_t colon = v.find(':');
         std::uint8_t code = 0;
         if (colon == std::string::npos || !ParseNumber(v.substr(0, colon), code)) return false;
         const std::optional<std::uint32_t> version = ParseEmuVersion(v.substr(colon + 1));
         if (!version) return false;
         if (!processorsGiven) c.processors.clear();
         processorsGiven = true;
         c.processors.push_back({code, *version});
         return true;
       }},
      {"--loader-version", [&](const std::string& v) { return ParseLoaderVersion(v, c.loaderMajor, c.loaderMinor); }},
      {"--third-loader-version",
       [&](const std::string& v) { return ParseLoaderVersion(v, c.thirdLoaderMajor, c.thirdLoaderMinor); }},
      {"--reenum-delay-ms", u32(c.reenumerationDelayMs)},
      {"--erase-ms", u32(c.beginEraseMs)},
      {"--finish-ms", u32(c.finishMs)},
      {"--third-erase-ms", u32(c.thirdEraseBlockMs)},
      {"--timing",
       [&](const std::string& v) {
         if (v == "off") c.timing = EmuTiming::Off;
         else if (v == "usb") c.timing = EmuTiming::FullSpeed;
         else return false;
         return true;
       }},
      {"--class-request-ms", real(c.classRequestMs)},
      {"--spin-ms", [&](const std::string& v) { return ParseDouble(v, c.spinMs) && c.spinMs >= 0; }},
      {"--time-scale", [&](const std::string& v) { return ParseDouble(v, c.timeScale) && c.timeScale > 0; }},
      {"--baud", [&](const std::string& v) { return ParseNumber(v, c.uartBaud) && c.uartBaud > 0; }},
      {"--trace", text(c.traceFile)},
      {"--unplug-after-transfers", u32(f.unplugAfterTransfers)},
      {"--unplug-at-ms", i64(f.unplugAtMs)},
      {"--unplug-after-records", u32(f.unplugAfterRecords)},
      {"--replug-after-ms", i64(f.replugAfterMs)},
      {"--drop-answers", u32(f.dropAnswers)},
      {"--answer-delay-ms", u32(f.answerDelayMs)},
      {"--begin-status", status(f.beginStatus)},
      {"--finish-status", status(f.finishStatus)},
      {"--finish-delay-ms", u32(f.finishDelayMs)},
      {"--reject-record", u32(f.rejectRecord)},
      {"--halt-in-records", u32(f.haltInDuringRecords)},
      {"--halt-in-blocks", u32(f.haltInDuringBlocks)},
      {"--chip-loss", rate(c.chipFaults.hostToChipLossRate)},
      {"--chip-corrupt", rate(c.chipFaults.hostToChipCorruptRate)},
      {"--host-loss", rate(c.chipFaults.chipToHostLossRate)},
      {"--host-corrupt", rate(c.chipFaults.chipToHostCorruptRate)},
      {"--chip-seed", u32(c.chipFaults.seed)},
      {"--chip-retransmit-limit", u32(c.chipRetransmitLimit)},
      {"--chip-error-at-block", [&](const std::string& v) { return ParseNumber(v, c.chipFaults.errorAtBlock); }},
      {"--chip-dfu-error",
       [&](const std::string& v) {
         if (v == "first-block") c.chipFaults.dfuError = CEmuBluetoothChip::EDfuErrorFault::BeforeFirstBlock;
         else if (v == "never-clears") c.chipFaults.dfuError = CEmuBluetoothChip::EDfuErrorFault::NeverClears;
         else return false;
         return true;
       }},
      {"--chip-never-returns",
       [&](const std::string& v) {
         if (v == "loader") c.chipFaults.neverReturns = CEmuBluetoothChip::EResetFault::IntoLoader;
         else if (v == "application") c.chipFaults.neverReturns = CEmuBluetoothChip::EResetFault::IntoApplication;
         else return false;
         return true;
       }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--help", [&] { options.help = true; }},
      {"-h", [&] { options.help = true; }},
      {"--uhid", [&] { options.uhid = true; }},
      {"--usb", [&] { options.usb = true; }},
      {"--strict", [&] { c.strictRoutes = true; }},
      {"--consumer-control", [&] { c.consumerControlInterface = true; }},
      {"--tcp", [&] { c.busForm = EmuBusForm::Tcp; }},
      {"--start-in-loader", [&] { c.startInBootloader = true; }},
      {"--no-chip", [&] { c.useBluetoothChip = false; }},
      {"--begin-never", [&] { f.beginNeverAnswers = true; }},
      {"--finish-never", [&] { f.finishNeverAnswers = true; }},
      {"--loader-never-appears", [&] { f.loaderNeverAppears = true; }},
      {"--loader-refuses-connections", [&] { f.loaderRefusesConnections = true; }},
      {"--chip-status-never-settles", [&] { c.chipFaults.statusNeverSettles = true; }},
      {"--chip-link-never-up", [&] { c.chipFaults.linkNeverUp = true; }},
      {"--chip-silent", [&] { c.chipFaults.stopResponding = true; }},
      {"--strict-dfu", [&] { c.strictDfu = true; }},
      {"--basic-dfu", [&] { c.basicDfu = true; }},
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    std::optional<std::string> inlineValue;
    if (const std::size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name = name.substr(0, equals);
    }
    if (auto flag = flags.find(name); flag != flags.end() && !inlineValue) {
      flag->second();
      continue;
    }
    auto handler = withValue.find(name);
    if (handler == withValue.end()) {
      error = "unknown option " + arguments[i];
      return std::nullopt;
    }
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) {
        error = "option " + name + " needs a value";
        return std::nullopt;
      }
      inlineValue = arguments[++i];
    }
    if (!handler->second(*inlineValue)) {
      error = "bad value for " + name + ": " + *inlineValue;
      return std::nullopt;
    }
  }
  const int frontEnds = int{!options.bus.empty()} + int{options.uhid} + int{options.usb};
  if (!options.help && frontEnds != 1) {
    error = frontEnds == 0 ? "--bus DIR, --uhid or --usb is required" : "--bus, --uhid and --usb exclude each other";
    return std::nullopt;
  }
  if (options.bus.empty() && c.busForm == EmuBusForm::Tcp) {
    error = "--tcp is a form of the vhid bus";
    return std::nullopt;
  }
  if (!options.usb && !options.udc.empty()) {
    error = "--udc names the controller of --usb";
    return std::nullopt;
  }
  return options;
}

std::string DevEmuUsage() {
  return R"(Usage: quillon-devemu --bus DIR [OPTION]...
  or:  quillon-devemu --uhid [OPTION]...
  or:  quillon-devemu --usb [--udc NAME] [OPTION]...
Play one Aurelix Rho device on the vhid bus directory DIR, with --uhid as a
HID device of the running kernel (through /dev/uhid; root, and the uhid and
hid-generic modules), or with --usb as a USB device on a USB device controller
(a configfs gadget with FunctionFS; root, configfs mounted, and the modules
libcomposite and usb_f_fs), until SIGTERM or SIGINT.
Every option also takes the form --name=value.

Bus (one of the three is required):
  --bus DIR                    the vhid bus directory
  --uhid                       a kernel HID device instead of a vhid bus
  --usb                        a USB device on a USB device controller instead of a vhid bus
  --udc NAME                   with --usb: the controller (default: the first of /sys/class/udc;
                               dummy_udc.0 with the module dummy_hcd)
  --tcp                        with --bus: the bus's TCP form, a file naming a port on 127.0.0.1
                               instead of a UNIX socket (for hosts without UNIX sockets)
Device:
  --product TEXT               product string of the application (default "Aurelix Rho USB Audio")
  --loader-product TEXT        product string of the bootloader (default: none)
  --mcu CODE:YYYY/MM/DD        one processor (type code and starting version, "0" = erased);
                               repeat for each; default 33:2016/05/12 8:2015/10/22 13:2014/06/30
  --start-in-loader            power up in the bootloader
  --loader-version MAJ.MIN     main bootloader version (default 3.2)
  --third-loader-version MAJ.MIN  third controller's loader version (default 3.0)
  --no-chip                    no Bluetooth chip behind the UART bridge
  --strict-dfu                 the chip's DFU loader refuses requests not valid in its state
  --basic-dfu                  the chip's DFU loader knows only the download's requests: it
                               refuses DFU_ABORT (and DFU_GETSTATE, DFU_UPLOAD), changing nothing
  --no-interrupt-out application|bootloader|both
                               that identity's HID interface has no interrupt-OUT endpoint
                               (repeatable): the host sends its output reports as SET_REPORT
  --strict                     take each command only on the route the Windows host uses
                               (inventory and I2C write as interrupt OUT where there is the
                               endpoint, every other command as SET_REPORT(Output)); ignore
                               and trace the others as a refused route
  --consumer-control           with --usb: a consumer-control HID interface (volume, mute; interrupt
                               IN only) as interface 0, before the vendor interface
Timing (milliseconds of device time):
  --timing off|usb             bus timing model (default usb: one interrupt report per ms each way)
  --class-request-ms X         time per class request (default 1)
  --time-scale X               device time runs X times faster (default 1)
  --spin-ms X                  poll instead of sleeping for the last X real ms before each
                               modelled completion (default 0)
  --baud N                     bridged UART speed, 10 bits per byte (default 921600; 115200 also typical)
  --reenum-delay-ms N          time off the bus when restarting (default 1500)
  --erase-ms N                 LDR_BEGIN's erase before its status (default 800)
  --finish-ms N                LDR_FINISH's verification before its status (default 20)
  --third-erase-ms N           one LDR_M_ERASE_BLOCK (default 150)
Trace:
  --trace FILE                 JSON-lines trace of every transfer (docs/emulator.md)
Faults:
  --unplug-after-transfers N   leave the bus once N host requests were answered
  --unplug-at-ms N             leave the bus N ms after start
  --unplug-after-records N     leave the bus after the N-th record since LDR_BEGIN
  --replug-after-ms N          after a fault unplug, come back (boot) N ms later
  --drop-answers N             do not send the next N inventory answers
  --answer-delay-ms N          delay each inventory answer
  --begin-status HEX           status word LDR_BEGIN answers (default 4B4F, 'O','K')
  --begin-never                LDR_BEGIN is never answered
  --finish-status HEX          status word LDR_FINISH answers, whatever the verification found
  --finish-delay-ms N          extra delay before LDR_FINISH's status
  --finish-never               LDR_FINISH is never answered
  --loader-never-appears       after SYS_ENTER_LOADER the device does not come back
  --loader-refuses-connections the bootloader appears but refuses every connection
  --reject-record N            refuse the N-th record since LDR_BEGIN (shows at the finish)
  --halt-in-records N          with --usb: halt the interrupt-IN endpoint N times during the
                               records, at every 1,000th record (the host sees a stall)
  --halt-in-blocks N           with --usb: the same N times during the Bluetooth chip's download,
                               at every 100th DFU block
Bluetooth chip faults:
  --chip-loss R, --chip-corrupt R   share of host-to-chip UART bytes lost / corrupted (0..1)
  --host-loss R, --host-corrupt R   share of chip-to-host UART bytes lost / corrupted (0..1)
  --chip-seed N                     seed of the loss and corruption generator
  --chip-retransmit-limit N         after N resends of one reply the chip gives its link up and
                                    starts link establishment again (default 0: no limit)
  --chip-dfu-error first-block|never-clears
  --chip-error-at-block N           that DFU block ends in dfuERROR
  --chip-never-returns loader|application
  --chip-status-never-settles, --chip-link-never-up, --chip-silent
Other:
  -h, --help                   display this help and exit

Exit status: 0 when stopped by SIGTERM or SIGINT, or after --help; 1 when the
device could not be served on the bus (or /dev/uhid, or the USB controller);
2 for a wrong option.
)";
}
