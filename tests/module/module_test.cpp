// SPDX-License-Identifier: MIT
// vkm470sim and vkm470burn as a user runs them: separate processes on module
// image files in a fresh folder, under a private device directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "hosted.h"
#include "tools_fixture.h"

namespace vkm470::test {
namespace {

namespace os = vkm470::os;

using ModuleProcess = ToolsFixture;

TEST_F(ModuleProcess, ToolCommandLine) {
  ASSERT_EQ(sim({"create", image_}).status, 0);
  const std::string foreign = path("foreign.bin");
  std::ofstream(foreign) << "not a module\n";
  const std::string missing = path("missing.img");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // contained in the standard output
    std::string err;  // contained in the standard error
  };
  const Case cases[] = {
      {{"--help"}, 0, "Subcommands:", ""},
      {{"attach", "--help"}, 0, "--lpt", ""},
      {{"export", "--help"}, 0, "-o,--output", ""},
      {{"--version"}, 0, "vkm470sim " VKM470_VERSION "\n", ""},
      {{},
       2,
       "",
       "vkm470sim: a command is required: create, attach, detach, list, show, export or fault\n"},
      {{"frobnicate"}, 2, "", "frobnicate"},
      {{"list", "extra"}, 2, "", "extra"},
      {{"attach", image_, "--lpt", "4"}, 2, "", "vkm470sim: --lpt: Value 4 not in range 1 to 3\n"},
      {{"attach", image_, "--usb", "256"}, 2, "", "--usb: Value 256 not in range 0 to 255"},
      {{"export", image_}, 2, "", "--output is required"},
      {{"show"}, 2, "", "IMAGE is required"},
      {{"create", image_}, 1, "", "vkm470sim: " + image_ + ": file exists (--force replaces it)\n"},
      {{"show", missing}, 1, "", "vkm470sim: " + missing + ": cannot open: No such file"},
      {{"show", foreign}, 1, "", "vkm470sim: " + foreign + ": not a module image"},
      {{"export", foreign, "-o", path("x.bin")}, 1, "", foreign + ": not a module image"},
      {{"attach", foreign}, 1, "", foreign + ": not a module image"},
      {{"export", image_, "-o", image_}, 1, "", image_ + ": is the module image itself"},
      {{"detach"}, 1, "", "vkm470sim: no QDev0 in " + devices_.string() + "\n"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& word : c.args) line += " " + word;
    const Outcome r = sim(c.args);
    EXPECT_EQ(r.status, c.status) << line << "\n" << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << line << "\n" << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << line << "\n" << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "") << line;
    }
  }
  // Nothing was attached by the refused commands, and the refused create left
  // the image alone.
  EXPECT_FALSE(fs::exists(devices_ / "QDev0"));
  EXPECT_EQ(sim({"show", image_}).status, 0);
}

TEST_F(ModuleProcess, AttachListAndDetach) {
  const std::string other = path("other.img");
  ASSERT_EQ(sim({"create", image_}).status, 0);
  ASSERT_EQ(sim({"create", other}).status, 0);

  Outcome r = sim({"attach", image_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "QDev0 -> " + image_ + "\nALTLPT1 -> " + image_ + "\n");
  EXPECT_EQ(fs::read_symlink(devices_ / "QDev0"), image_);
  EXPECT_EQ(fs::read_symlink(devices_ / "ALTLPT1"), image_);

  // A name already taken, in any case of its letters, is refused, and the
  // other name of the same command is not made either.
  fs::rename(devices_ / "QDev0", devices_ / "qdev0");
  r = sim({"attach", other, "--usb", "0", "--lpt", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vkm470sim: QDev0 is taken: " + (devices_ / "qdev0").string() + " links to " +
                       image_ + "\n");
  EXPECT_FALSE(fs::exists(devices_ / "ALTLPT2"));

  r = sim({"attach", other, "--lpt", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Links made by hand: to a port, to an image since removed, to another file.
  const std::string notes = path("notes.txt");
  std::ofstream(notes) << "not a module\n";
  fs::create_symlink("/dev/null", devices_ / "ALTLPT3");
  fs::create_symlink(path("gone.img"), devices_ / "QDev5");
  fs::create_symlink(notes, devices_ / "QDev6");
  const std::string handMade = "ALTLPT3 -> /dev/null (character device)\nQDev5 -> " +
                               path("gone.img") + " (missing)\nQDev6 -> " + notes +
                               " (not a module image)\n";

  r = sim({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ALTLPT1 -> " + image_ + " (free)\nALTLPT2 -> " + other + " (free)\n" +
                       handMade + "qdev0 -> " + image_ + " (free)\n");

  // detach removes links to module images only; the others stay, and with
  // them the rest of the same command's entries.
  const std::vector<std::string> refused[] = {
      {"--lpt", "3"}, {"--usb", "5"}, {"--usb", "6"}, {"--usb", "6", "--lpt", "2"}};
  for (const std::vector<std::string>& options : refused) {
    std::vector<std::string> args = {"detach"};
    args.insert(args.end(), options.begin(), options.end());
    r = sim(args);
    const std::string entry = options[1] == "3" ? "ALTLPT3" : "QDev" + options[1];
    EXPECT_EQ(r.status, 1) << entry;
    EXPECT_EQ(r.err, "vkm470sim: " + (devices_ / entry).string() +
                         " is not a link to a module image; left as it is\n");
  }
  for (const char* entry : {"ALTLPT2", "ALTLPT3", "QDev5", "QDev6"})
    EXPECT_TRUE(fs::is_symlink(devices_ / entry)) << entry;

  EXPECT_EQ(sim({"detach", "--lpt", "2"}).status, 0);
  EXPECT_EQ(sim({"detach"}).status, 0);
  r = sim({"list"});
  EXPECT_EQ(r.out, handMade);
  // The images themselves stay.
  EXPECT_TRUE(fs::exists(image_));
  EXPECT_TRUE(fs::exists(other));
}

// vkm470sim attaches where the library looks, for every way of setting,
// leaving unset or emptying VKM470_DEVICES and HOME; where the library has no
// device directory, vkm470sim refuses and says why, and makes none anywhere.
TEST_F(ModuleProcess, AttachGoesWhereTheLibraryLooks) {
  ASSERT_EQ(sim({"create", image_}).status, 0);
  const std::string devices = devices_.string(), home = path("home");
  const std::optional<std::string> oldHome =
      getenv("HOME") != nullptr ? std::optional<std::string>(getenv("HOME")) : std::nullopt;
  struct Case {
    std::optional<std::string> devices, home;
  };
  const Case cases[] = {
      {devices, home},    {devices, ""},      {std::nullopt, home},         {"", home},
      {std::nullopt, ""}, {"", std::nullopt}, {std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("VKM470_DEVICES=" + c.devices.value_or("(unset)") +
                 " HOME=" + c.home.value_or("(unset)"));
    c.devices ? setenv("VKM470_DEVICES", c.devices->c_str(), 1) : unsetenv("VKM470_DEVICES");
    c.home ? setenv("HOME", c.home->c_str(), 1) : unsetenv("HOME");
    std::string dir, why;
    const bool has = os::hosted::deviceDirectory(&dir, &why);
    const Outcome r = sim({"attach", image_, "--usb", "0"});
    if (has) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(os::hosted::findDeviceEntry(dir, "qdev0").has_value()) << dir;
      EXPECT_EQ(sim({"detach", "--usb", "0"}).status, 0);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "vkm470sim: no device directory: " + why + "\n");
      EXPECT_FALSE(fs::exists(".vkm470"));
    }
  }
  oldHome ? setenv("HOME", oldHome->c_str(), 1) : unsetenv("HOME");
  setenv("VKM470_DEVICES", devices.c_str(), 1);
}

TEST_F(ModuleProcess, BurnOverTheCableThenShowAndExport) {
  attachModule();
  Outcome r = burn({"-i", "LPT1", "-t"});
  EXPECT_EQ(r.out, "Setting FLASH page size.OK\n");
  ASSERT_EQ(r.status, 0) << r.err;

  const Bytes boot = writeFile("boot.bin", 5000, 1);
  const Bytes app = writeFile("app.bin", 3000, 2);
  const Bytes pga = writeFile("pga.bin", 1000, 3);
  r = burn({"-i", "LPT1", "-w", "-v", "-b", path("boot.bin"), "-a", path("app.bin"), "-p",
            path("pga.bin")});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Writing and verifying boot program.\nwrote 5000 bytes\nverify OK\n"
            "Writing and verifying application program.\nwrote 3000 bytes\nverify OK\n"
            "Writing and verifying PGA broaching.\nwrote 1000 bytes\nverify OK\n");
  ASSERT_EQ(r.status, 0);
  r = burn({"-i", "LPT1", "-n", "VKM-0042"});
  EXPECT_EQ(r.out, "Writing serial.OK\n");
  r = burn({"-i", "LPT1", "-n"});
  EXPECT_EQ(r.out, "Reading serial.OK\nSerial Number: VKM-0042\n");

  const Bytes flash = exported();
  ASSERT_EQ(flash.size(), 2097152u);
  EXPECT_EQ(slice(flash, 0x000000, 5000), boot);
  EXPECT_EQ(slice(flash, 0x020000, 16),
            (Bytes{'V', 'K', 'M', '-', '0', '0', '4', '2', 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(slice(flash, 0x020200, 3000), app);
  std::uint32_t sum = 0;
  for (std::uint8_t b : pga) sum += b;
  EXPECT_EQ(slice(flash, 0x1E7000, 8),
            (Bytes{0xE8, 0x03, 0, 0, std::uint8_t(sum), std::uint8_t(sum >> 8),
                   std::uint8_t(sum >> 16), std::uint8_t(sum >> 24)}));
  EXPECT_EQ(slice(flash, 0x1E7008, 1000), pga);
  // Around the images the flash is erased.
  EXPECT_EQ(flash[5000], 0xFF);
  EXPECT_EQ(flash[0x020010], 0xFF);
  EXPECT_EQ(flash[0x020200 + 3000], 0xFF);
  EXPECT_EQ(flash[0x1E7008 + 1000], 0xFF);

  r = sim({"show", image_});
  EXPECT_EQ(r.status, 0) << r.err;
  char sumText[16];
  std::snprintf(sumText, sizeof sumText, "0x%08X", sum);
  EXPECT_EQ(r.out, image_ +
                       "\npage mode: binary, 512-byte pages\n"
                       "area         address     bytes  programmed\n"
                       "boot         0x000000   131072        5000\n"
                       "serial       0x020000      512          16\n"
                       "application  0x020200  1863168        3000\n"
                       "PGA header   0x1E7000        8           8\n"
                       "PGA          0x1E7008   102392        1000\n"
                       "serial number: \"VKM-0042\"\n"
                       "PGA header: length 1000, sum " +
                       sumText +
                       ": matches the 1000 bytes at 0x1E7008\n"
                       "faults: none\n");
  EXPECT_EQ(fs::file_size(image_), 2163200u);
}

TEST_F(ModuleProcess, SecondProcessIsRefusedWhileTheFirstHoldsTheModule) {
  attachModule();
  const Bytes app = writeFile("app.bin", 5000, 5);
  Child cable({HOLD_DEVICE_PATH, "ALTLPT1"});
  ASSERT_TRUE(cable.readUntil("held\n")) << cable.out << cable.err;

  Child second({HOLD_DEVICE_PATH, "altlpt1"});
  EXPECT_EQ(second.wait().out, "refused 32\n");
  Outcome r = burn({"-i", "LPT1", "-n"});
  EXPECT_EQ(r.out, "Reading serial.error\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(sim({"list"}).out,
            "ALTLPT1 -> " + image_ + " (in use)\nQDev0 -> " + image_ + " (free)\n");
  // The other side of the module is free for another process meanwhile.
  r = burn({"-i", "USB", "-w", "-v", "-a", path("app.bin")});
  EXPECT_EQ(r.out, "Writing and verifying application program.\nwrote 5000 bytes\nverify OK\n");
  EXPECT_EQ(r.status, 0) << r.err;

  // The lock ends with the process that held it, however it ends.
  cable.kill(SIGKILL);
  cable.wait();
  r = burn({"-i", "LPT1", "-n"});
  EXPECT_EQ(r.out, "Reading serial.OK\nSerial Number: " + std::string(15, '\xFF') + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(slice(exported(), 0x020200, 5000), app);

  Child usb({HOLD_DEVICE_PATH, "QDev0"});
  ASSERT_TRUE(usb.readUntil("held\n")) << usb.out << usb.err;
  r = burn({"-i", "USB", "-n", "7"});
  EXPECT_EQ(r.out, "Writing serial.error\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(sim({"list"}).out,
            "ALTLPT1 -> " + image_ + " (free)\nQDev0 -> " + image_ + " (in use)\n");
  usb.closeInput();
  EXPECT_EQ(usb.wait().status, 0);
  EXPECT_EQ(burn({"-i", "USB", "-n", "7"}).out, "Writing serial.OK\n");
}

TEST_F(ModuleProcess, BurnerKilledDuringAWriteLeavesAnImageThatOpens) {
  attachModule();
  ASSERT_EQ(burn({"-i", "LPT1", "-t"}).status, 0);
  const Bytes pga = writeFile("pga.bin", 20000, 4);
  std::uint32_t sum = 0;
  for (std::uint8_t b : pga) sum += b;

  Child burner({VKM470BURN_PATH, "-i", "LPT1", "-w", "-p", path("pga.bin")});
  // The dot follows the header's program: the image's pages are under way.
  ASSERT_TRUE(burner.readUntil("Writing PGA broaching.")) << burner.out << burner.err;
  burner.kill(SIGKILL);
  EXPECT_EQ(burner.wait().status, 128 + SIGKILL);

  EXPECT_EQ(fs::file_size(image_), 2163200u);
  const Bytes flash = exported();
  ASSERT_EQ(flash.size(), 2097152u);
  EXPECT_EQ(slice(flash, 0x1E7000, 8),
            (Bytes{0x20, 0x4E, 0, 0, std::uint8_t(sum), std::uint8_t(sum >> 8),
                   std::uint8_t(sum >> 16), std::uint8_t(sum >> 24)}));
  // The pages written so far hold the image; after the page the burner was
  // on, the flash is erased.
  std::size_t done = 0;
  while (done < pga.size() && flash[0x1E7008 + done] == pga[done]) ++done;
  EXPECT_LT(done, pga.size());
  const std::size_t nextPage = ((0x1E7008 + done) / 512 + 1) * 512;
  for (std::size_t a = nextPage; a < flash.size(); ++a) ASSERT_EQ(flash[a], 0xFF) << "at " << a;

  const Outcome r = sim({"show", image_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("PGA header: length 20000, sum "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("does not match the 20000 bytes at 0x1E7008"), std::string::npos) << r.out;
  // A burn after it completes the module.
  const Outcome again = burn({"-i", "LPT1", "-w", "-v", "-p", path("pga.bin")});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(sim({"show", image_}).out.find("matches the 20000 bytes"), std::string::npos);
}

// A named pipe opens only once a writer comes: every command that reads an
// image must refuse one at once, naming it, rather than wait for one.
TEST_F(ModuleProcess, NamedPipesAreRefusedAtOnce) {
  attachModule();
  const std::string pipe = path("pipe.img");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_symlink(pipe, devices_ / "QDev1");
  const std::vector<std::string> commands[] = {
      {"show", pipe},  {"attach", pipe, "--usb", "2"}, {"export", pipe, "-o", path("flash.bin")},
      {"fault", pipe}, {"fault", pipe, "--clear"},
  };
  for (std::vector<std::string> args : commands) {
    args.insert(args.begin(), VKM470SIM_PATH);
    const Outcome r = Child(args).wait(10000);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.err, "vkm470sim: " + pipe + ": not a module image (a named pipe)\n") << args[1];
  }
  EXPECT_FALSE(fs::exists(devices_ / "QDev2"));
  EXPECT_FALSE(fs::exists(path("flash.bin")));

  const Outcome r = Child({VKM470SIM_PATH, "list"}).wait(10000);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ALTLPT1 -> " + image_ + " (free)\nQDev0 -> " + image_ + " (free)\nQDev1 -> " +
                       pipe + " (named pipe)\n");
}

// What keeps the library from a module, as list tells it: an image it cannot
// open for writing, and a device directory that is missing or a file.
TEST_F(ModuleProcess, ListSaysWhatKeepsTheLibraryOut) {
  attachModule();
  fs::permissions(image_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::vector<std::string> args = {VKM470SIM_PATH, "list"};
  // Root opens any file for writing: there, list runs as nobody.
  if (::geteuid() == 0)
    args.insert(args.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  Outcome r = run(args);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ALTLPT1 -> " + image_ +
                       " (cannot be opened for writing: Permission denied)\nQDev0 -> " + image_ +
                       " (cannot be opened for writing: Permission denied)\n");

  struct Case {
    std::string devices;
    std::string err;
  };
  const Case cases[] = {
      {path("none"), path("none") + ": no device directory (attach makes one)"},
      {image_, image_ + ": the device directory is not a directory"},
  };
  for (const Case& c : cases) {
    setenv("VKM470_DEVICES", c.devices.c_str(), 1);
    r = sim({"list"});
    EXPECT_EQ(r.status, 1) << c.devices;
    EXPECT_EQ(r.out, "") << c.devices;
    EXPECT_EQ(r.err, "vkm470sim: " + c.err + "\n");
  }
}

// export writes a new file and renames it into place: whoever has the old
// file keeps it whole, and a module image that a program holds is left to it.
TEST_F(ModuleProcess, ExportReplacesItsOutputWhole) {
  attachModule();
  const Bytes app = writeFile("app.bin", 3000, 6);
  ASSERT_EQ(burn({"-i", "USB", "-w", "-a", path("app.bin")}).status, 0);
  const auto contents = [](const std::string& name) {
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  };

  const std::string out = path("flash.bin");
  std::ofstream(out) << "an earlier export\n";
  fs::create_hard_link(out, path("earlier.bin"));
  Outcome r = sim({"export", image_, "-o", out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  const std::string flash = contents(out);
  ASSERT_EQ(flash.size(), kFlashBytes);
  EXPECT_EQ(flash.substr(kAppAddress, app.size()), std::string(app.begin(), app.end()));
  EXPECT_TRUE(contents(path("earlier.bin")) == "an earlier export\n") << "replaced in place";

  // "-" is standard output; a named pipe takes the bytes as they come.
  r = sim({"export", image_, "-o", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == flash) << r.out.size() << " bytes";
  EXPECT_FALSE(fs::exists("-"));
  const std::string pipe = path("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  const std::string piped = path("piped.bin");
  Child reader({"/bin/sh", "-c", "exec cat \"$0\" > \"$1\"", pipe, piped});
  r = sim({"export", image_, "-o", pipe});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(reader.wait(10000).status, 0);
  EXPECT_TRUE(contents(piped) == flash);
  fs::remove(pipe);
  fs::remove(piped);

  // A module image that a program holds, on either side, through a link to it
  // or by its own name.
  const std::string other = path("other.img");
  ASSERT_EQ(sim({"create", other}).status, 0);
  ASSERT_EQ(sim({"attach", other, "--usb", "1", "--lpt", "2"}).status, 0);
  const std::pair<const char*, std::string> held[] = {
      {"QDev1", (devices_ / "QDev1").string()},
      {"ALTLPT2", other},
  };
  for (const auto& [side, output] : held) {
    Child holder({HOLD_DEVICE_PATH, side});
    ASSERT_TRUE(holder.readUntil("held\n")) << holder.out << holder.err;
    r = sim({"export", image_, "-o", output});
    EXPECT_EQ(r.status, 1) << side;
    EXPECT_EQ(r.err,
              "vkm470sim: " + output + ": a module image in use by a program; left as it is\n");
    EXPECT_EQ(sim({"show", other}).status, 0) << side;
  }
  EXPECT_TRUE(fs::is_symlink(devices_ / "QDev1"));
  // Free again, it is replaced as any file is.
  r = sim({"export", image_, "-o", (devices_ / "QDev1").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(devices_ / "QDev1"));
  EXPECT_TRUE(contents(other) == flash);

  // Standard output appended to the image would wreck it.
  r = run({"/bin/sh", "-c", "exec \"$0\" export \"$1\" -o - >> \"$1\"", VKM470SIM_PATH, image_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vkm470sim: standard output is the module image itself\n");
  EXPECT_EQ(fs::file_size(image_), 2163200u);

  // No temporary file is left in the folder.
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app.bin", "devices", "earlier.bin", "flash.bin",
                                             "module.img", "other.img"}));
}

}  // namespace
}  // namespace vkm470::test
