// The images of verify and write: read as the burner reads them, placed where
// the burner places them.
#include "commands.h"
#include "plan.h"

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
}

Json placeImages(const Images& images, bool rest, Target& target) {
  if (images.boot.empty() && images.app.empty() && images.pga.empty() && !images.serialGiven)
    throw Failure(kUsage, "give at least one of --boot, --app, --pga, --serial");
  const int fromStandardInput = (images.boot == "-") + (images.app == "-") + (images.pga == "-");
  if (fromStandardInput > 1)
    throw Failure(kUsage, "only one image can come from standard input (-)");
  const auto serial = map::encodeSerial(images.serial);
  if (!serial)
    throw Failure(kUsage, "serial number " + images.serial + " is longer than " +
                              std::to_string(map::kSerialTextBytes) + " characters");
  Json placed = Json::array();
  auto place = [&](const char* area, std::uint32_t address, std::uint32_t areaBytes,
                   const Bytes& bytes) {
    target.put(address, bytes);
    if (rest)
      target.fill(address + static_cast<std::uint32_t>(bytes.size()),
                  areaBytes - static_cast<std::uint32_t>(bytes.size()), 0xFF);
    placed.push_back({{"area", area}, {"address", address}, {"length", bytes.size()}});
  };
  // Every image is read before any module is touched.
  if (!images.boot.empty())
    place("boot", map::kBootAddress, map::kBootBytes, readImage(images.boot, map::kBootBytes));
  if (images.serialGiven)
    place("serial", map::kSerialAddress, map::kSerialAreaBytes,
          Bytes(serial->begin(), serial->end()));
  if (!images.app.empty())
    place("application", map::kAppAddress, map::kAppBytes, readImage(images.app, map::kAppBytes));
  if (!images.pga.empty()) {
    const Bytes image = readImage(images.pga, map::kPgaBytes);
    if (image.empty()) throw Failure(kFailed, "PGA image " + images.pga + " is empty");
    const map::PgaHeaderBytes header =
        map::pgaHeader(image.data(), static_cast<std::uint32_t>(image.size()));
    target.put(map::kPgaHeaderAddress, header.data(), map::kPgaHeaderBytes);
    place("pga", map::kPgaAddress, map::kPgaBytes, image);
  }
  return placed;
}

}  // namespace vkm470::tool
