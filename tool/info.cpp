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

Result info(Module& module, Meter& meter, bool areas) {
  Result result;
  std::string& text = result.text;
  Json& json = result.json;
  text += module.name() + "\n";
  json["interface"] = module.id().usb ? "usb" : "lpt";
  json["number"] = module.id().number;

  if (module.id().usb) {
    const std::string name = module.moduleName();
    json["name"] = name;
    text += "  name:        " + name + "\n";
    text += "  flash:       information over the download cable only (-d lpt:N)\n";
  } else if (const auto flash = module.flashInformation()) {
    Json block{{"status", flash->status()},
               {"registers", {flash->bytes[1], flash->bytes[2], flash->bytes[3]}},
               {"id", byteList(flash->bytes.data() + 4, 4)},
               {"answers", flash->answers()}};
    text += "  flash:       status " + hex(flash->status(), 2) + ", registers " +
            byteList(flash->bytes.data() + 1, 3) + ", ID " + byteList(flash->bytes.data() + 4, 4) +
            "\n";
    if (!flash->answers()) {
      text += "  page mode:   unknown: the flash does not answer\n";
    } else if (flash->binaryPages()) {
      block["page_size"] = 512;
      text += "  page mode:   512-byte pages\n";
    } else {
      block["page_size"] = 528;
      const std::string hint = "vkm470burn -i LPT" + std::to_string(module.id().number) + " -t";
      block["hint"] = "switch to 512-byte pages once: " + hint;
      text += "  page mode:   528-byte pages: the tools address 512-byte ones; switch once with " +
              hint + "\n";
    }
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
  text += "  serial:      " + serialText(serial) + "\n";

  std::uint8_t bytes[map::kPgaHeaderBytes];
  module.read(map::kPgaHeaderAddress, bytes, sizeof bytes, meter);
  const map::PgaHeader header = map::decodePgaHeader(bytes);
  Json pga;
  if (header.state == map::PgaHeader::State::Erased) {
    pga["state"] = "erased";
    text += "  PGA header:  erased\n";
  } else if (header.state == map::PgaHeader::State::OutOfRange) {
    pga = {{"state", "length out of range"}, {"length", header.length}, {"sum", header.sum}};
    text += "  PGA header:  length " + std::to_string(header.length) + " out of range (1.." +
            std::to_string(map::kPgaBytes) + "), sum " + hex(header.sum, 8) + "\n";
  } else {
    Bytes image(header.length);
    meter.phase("reading", header.length);
    module.read(map::kPgaAddress, image.data(), header.length, meter);
    const std::uint32_t actual = map::byteSum(image.data(), image.size());
    const bool matches = header.matches(image.data());
    pga = {{"state", matches ? "matches" : "differs"},
           {"length", header.length},
           {"sum", header.sum},
           {"bytes_sum", actual}};
    text += "  PGA header:  length " + std::to_string(header.length) + ", sum " +
            hex(header.sum, 8) +
            (matches ? ": matches the bytes behind it\n"
                     : ": the bytes behind it sum to " + hex(actual, 8) + "\n");
  }
  json["pga"] = pga;

  if (areas) {
    Bytes flash(map::kFlashBytes);
    meter.phase("reading", map::kFlashBytes);
    module.read(0, flash.data(), map::kFlashBytes, meter);
    Json list = Json::array();
    text += "  areas:\n";
    for (const map::Area& area : map::kAreas) {
      const auto programmed =
          std::count_if(flash.begin() + area.address, flash.begin() + area.address + area.length,
                        [](std::uint8_t b) { return b != 0xFF; });
      list.push_back({{"name", area.name},
                      {"address", area.address},
                      {"length", area.length},
                      {"programmed", programmed}});
      char line[128];
      std::snprintf(line, sizeof line, "    %-12s %s %8u bytes, %8ld programmed\n", area.name,
                    hex(area.address).c_str(), area.length, static_cast<long>(programmed));
      text += line;
    }
    json["areas"] = list;
  }
  result.summary = "serial " + serialText(serial) + ", PGA " + pga["state"].get<std::string>();
  return result;
}

}  // namespace

void addInfo(CLI::App& app, Common& common, int& status) {
  CLI::App* command = app.add_subcommand("info", "what a module is and what its flash holds");
  addModuleOptions(*command, common, true);
  static bool areas = false;
  command->add_flag("--areas", areas,
                    "also read the whole flash and count the programmed bytes of each area");
  command->callback([&common, &status] {
    const auto modules = chosenModules(common);
    status = runOnModules(common, modules,
                          [](Module& module, Meter& meter) { return info(module, meter, areas); });
  });
}

}  // namespace vkm470::tool
