// SPDX-License-Identifier: MIT
// The images of verify and write: read as the burner reads them, placed where
// the burner places them.
#include "commands.h"
#include "imagefiles.h"
#include "plan.h"
#include "record.h"

namespace vkm470::tool {

void addImageOptions(CLI::App& command, Images& images) {
  command
      .add_option("--boot", images.boot,
                  "boot image, at 0x000000 (download cable only); - for standard input")
      ->type_name("FILE");
  command.add_option("--app", images.app, "application image, at 0x020200; - for standard input")
      ->type_name("FILE");
  command
      .add_option("--pga", images.pga,
                  "PGA image, at 0x1E7008 behind its header; - for standard input")
      ->type_name("FILE");
  command
      .add_option("--serial", images.serial,
                  "serial number (at most 15 characters), in its 16-byte field at 0x020000")
      ->each([&images](const std::string&) { images.serialGiven = true; });
  command
      .add_option("--flash", images.flash,
                  "flash image: raw from 0x000000 (a dump from read --all), or Intel HEX or "
                  "S-records with flash addresses; only the bytes it gives")
      ->type_name("FILE");
  auto* address = command.add_option("--address", images.address, "where FILE goes (0x for hex)")
                      ->type_name("A");
  auto* file = command.add_option("FILE", images.file, "raw image for --address");
  address->needs(file);
  file->needs(address);
  command
      .add_option("--format", images.format,
                  "raw, ihex or srec: how every image file is read (default: by its content)")
      ->type_name("FORMAT");
}

Json placeImages(const Images& images, bool rest, Target& target) {
  const bool areas = !images.boot.empty() || !images.app.empty() || !images.pga.empty();
  const bool flash = !images.flash.empty() || !images.file.empty();
  if (!areas && !flash && !images.serialGiven)
    throw Failure(kUsage,
                  "give at least one of --boot, --app, --pga, --serial, --flash, "
                  "--address A FILE");
  if (areas && flash)
    throw Failure(kUsage,
                  "--flash and --address take flash addresses: give them without --boot, "
                  "--app and --pga");
  if (!images.flash.empty() && !images.file.empty())
    throw Failure(kUsage, "give --flash or --address A FILE, not both");
  int fromStandardInput = 0;
  for (const std::string* file :
       {&images.boot, &images.app, &images.pga, &images.flash, &images.file})
    fromStandardInput += *file == "-";
  if (fromStandardInput > 1)
    throw Failure(kUsage, "only one image can come from standard input (-)");
  const auto format = formatOption(images.format);
  const auto serial = map::encodeSerial(images.serial);
  if (!serial)
    throw Failure(kUsage, "serial number " + images.serial + " is longer than " +
                              std::to_string(map::kSerialTextBytes) + " characters");
  Json placed = Json::array();
  // The images as the record names them: file, length and digest.
  auto place = [&](const char* area, const std::string& file, std::uint32_t address,
                   std::uint32_t areaBytes, const Bytes& bytes) {
    target.put(address, bytes);
    if (rest)
      target.fill(address + static_cast<std::uint32_t>(bytes.size()),
                  areaBytes - static_cast<std::uint32_t>(bytes.size()), 0xFF);
    if (!file.empty()) placed.push_back(imageRecord(area, file, address, bytes));
  };
  // Every image is read before any module is touched.
  if (!images.flash.empty()) placed.push_back(placeFlashImage(images.flash, format, target));
  if (!images.file.empty())
    placed.push_back(placeRawAt(images.file, format, images.address, target));
  if (!images.boot.empty())
    place("boot", images.boot, map::kBootAddress, map::kBootBytes,
          readAreaImage(images.boot, format, "boot", map::kBootBytes));
  if (images.serialGiven)
    place("serial", "", map::kSerialAddress, map::kSerialAreaBytes,
          Bytes(serial->begin(), serial->end()));
  if (!images.app.empty())
    place("application", images.app, map::kAppAddress, map::kAppBytes,
          readAreaImage(images.app, format, "application", map::kAppBytes));
  if (!images.pga.empty()) {
    const Bytes image = readAreaImage(images.pga, format, "PGA", map::kPgaBytes);
    if (image.empty()) throw Failure(kFailed, "PGA image " + images.pga + " is empty");
    const map::PgaHeaderBytes header =
        map::pgaHeader(image.data(), static_cast<std::uint32_t>(image.size()));
    target.put(map::kPgaHeaderAddress, header.data(), map::kPgaHeaderBytes);
    place("pga", images.pga, map::kPgaAddress, map::kPgaBytes, image);
  }
  return placed;
}

}  // namespace vkm470::tool
