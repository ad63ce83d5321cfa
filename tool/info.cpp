// SPDX-License-Identifier: MIT
// info: what a module is and what its flash holds.
#include <algorithm>
#include <cstdio>

#include "commands.h"

namespace vkm470::tool {

namespace {

std::string byteList(const std::uint8_t* bytes, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    text += (i == 0 ? "" : " ") + std::string(b);
  }
  return text;
}

// The burner's command that switches the chip on cable n to 512-byte pages.
std::string switchCommand(int cable) { return "vkm470burn -i LPT" + std::to_string(cable) + " -t"; }

// What info reads of a module, as JSON. Stops after the flash block when the
// chip's pages are not the ones the tools address (result's error).
Result infoOf(Module& module, Meter& meter, bool areas) {
  Result result;
  Json& json = result.json;
  json["interface"] = module.id().usb ? "usb" : "lpt";
  json["number"] = module.id().number;

  if (module.id().usb) {
    json["name"] = module.moduleName();
  } else if (const auto flash = module.flashInformation()) {
    Json block{{"status", flash->status()},
               {"registers", {flash->bytes[1], flash->bytes[2], flash->bytes[3]}},
               {"id", byteList(flash->bytes.data() + 4, 4)},
               {"answers", flash->answers()}};
    if (flash->answers()) block["page_size"] = flash->binaryPages() ? 512 : 528;
    if (flash->answers() && !flash->binaryPages())
      block["hint"] = "switch to 512-byte pages once: " + switchCommand(module.id().number);
    json["flash"] = block;
    // The areas behind 528-byte pages are other bytes: what the block says is
    // all there is to show.
    if (const auto refusal = module.pagesRefusal(*flash)) {
      result.exit = kFailed;
      result.error = *refusal;
      result.summary = *refusal;
      return result;
    }
  }

  std::uint8_t field[map::kSerialFieldBytes];
  meter.phase("reading", map::kSerialFieldBytes + map::kPgaHeaderBytes);
  module.read(map::kSerialAddress, field, sizeof field, meter);
  const std::optional<std::string> serial = map::decodeSerial(field);
  // Erased is no serial number: null, not a text that a module may hold.
  json["serial"] = serial ? Json(serialText(serial)) : Json(nullptr);

  std::uint8_t bytes[map::kPgaHeaderBytes];
  module.read(map::kPgaHeaderAddress, bytes, sizeof bytes, meter);
  const map::PgaHeader header = map::decodePgaHeader(bytes);
  Json& pga = json["pga"];
  if (header.state == map::PgaHeader::State::Erased) {
    pga["state"] = "erased";
  } else if (header.state == map::PgaHeader::State::OutOfRange) {
    pga = {{"state", "length out of range"}, {"length", header.length}, {"sum", header.sum}};
  } else {
    Bytes image(header.length);
    meter.phase("reading", header.length);
    module.read(map::kPgaAddress, image.data(), header.length, meter);
    pga = {{"state", header.matches(image.data()) ? "matches" : "differs"},
           {"length", header.length},
           {"sum", header.sum},
           {"bytes_sum", map::byteSum(image.data(), image.size())}};
  }

  if (areas) {
    Bytes flash(map::kFlashBytes);
    meter.phase("reading", map::kFlashBytes);
    module.read(0, flash.data(), map::kFlashBytes, meter);
    Json& list = json["areas"] = Json::array();
    for (const map::Area& area : map::kAreas) {
      const auto programmed =
          std::count_if(flash.begin() + area.address, flash.begin() + area.address + area.length,
                        [](std::uint8_t b) { return b != 0xFF; });
      list.push_back({{"name", area.name},
                      {"address", area.address},
                      {"length", area.length},
                      {"programmed", programmed}});
    }
  }
  return result;
}

// The text of what infoOf found.
std::string infoText(const std::string& device, const Json& json) {
  std::string text = device + "\n";
  if (json.contains("name")) {
    text += "  name:        " + json["name"].get<std::string>() + "\n";
    text += "  flash:       information over the download cable only (-d lpt:N)\n";
  } else if (json.contains("flash")) {
    const Json& block = json["flash"];
    std::uint8_t registers[3];
    for (int i = 0; i < 3; ++i) registers[i] = block["registers"][i];
    text += "  flash:       status " + hex(block["status"].get<std::uint32_t>(), 2) +
            ", registers " + byteList(registers, 3) + ", ID " + block["id"].get<std::string>() +
            "\n";
    if (!block["answers"].get<bool>())
      text += "  page mode:   unknown: the flash does not answer\n";
    else if (block["page_size"] == 512)
      text += "  page mode:   512-byte pages\n";
    else
      text += "  page mode:   528-byte pages: the tools address 512-byte ones; switch once with " +
              switchCommand(json["number"].get<int>()) + "\n";
  }
  if (!json.contains("serial")) return text;
  text += "  serial:      " +
          (json["serial"].is_null() ? std::string("erased") : json["serial"].get<std::string>()) +
          "\n";

  const Json& pga = json["pga"];
  const std::string state = pga["state"];
  if (state == "erased") {
    text += "  PGA header:  erased\n";
  } else {
    const std::string length = std::to_string(pga["length"].get<std::uint32_t>());
    const std::string sum = hex(pga["sum"].get<std::uint32_t>(), 8);
    if (state == "length out of range")
      text += "  PGA header:  length " + length + " out of range (1.." +
              std::to_string(map::kPgaBytes) + "), sum " + sum + "\n";
    else
      text += "  PGA header:  length " + length + ", sum " + sum +
              (state == "matches" ? ": matches the bytes behind it\n"
                                  : ": the bytes behind it sum to " +
                                        hex(pga["bytes_sum"].get<std::uint32_t>(), 8) + "\n");
  }

  if (json.contains("areas")) {
    text += "  areas:\n";
    for (const Json& area : json["areas"]) {
      char line[128];
      std::snprintf(line, sizeof line, "    %-12s %s %8u bytes, %8ld programmed\n",
                    area["name"].get<std::string>().c_str(),
                    hex(area["address"].get<std::uint32_t>()).c_str(),
                    area["length"].get<unsigned>(), area["programmed"].get<long>());
      text += line;
    }
  }
  return text;
}

class Info : public Command {
 public:
  Info() : Command("info", "what a module is and what its flash holds", Takes::Modules, true) {}

 private:
  void declare(CLI::App& command) override {
    command.add_flag("--areas", areas_,
                     "also read the whole flash and count the programmed bytes of each area");
  }

  int run() override {
    return runOnModules(common_, chosenModules(), [this](Module& module, Meter& meter) {
      Result result = infoOf(module, meter, areas_);
      result.text = infoText(module.name(), result.json);
      if (result.exit == kDone)
        result.summary =
            "serial " +
            (result.json["serial"].is_null() ? std::string("erased")
                                             : result.json["serial"].get<std::string>()) +
            ", PGA " + result.json["pga"]["state"].get<std::string>();
      return result;
    });
  }

  bool areas_ = false;
};

}  // namespace

std::unique_ptr<Command> infoCommand() { return std::make_unique<Info>(); }

}  // namespace vkm470::tool
