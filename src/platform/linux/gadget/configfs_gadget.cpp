#include "platform/linux/gadget/configfs_gadget.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kvx::gadget {
namespace {

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = "open " + path + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int err = errno;
  ::close(fd);
  if (n != ssize_t(text.size())) {
    if (error) *error = "write '" + text + "' to " + path + ": " + std::strerror(err);
    return false;
  }
  return true;
}

bool MakeDir(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  if (error) *error = "mkdir " + path + ": " + std::strerror(errno);
  return false;
}

std::string HexId(unsigned v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", v & 0xFFFF);
  return text;
}

// The number after the last '.' ("dummy_udc.12" -> 12); names without one sort first.
long UdcNumber(const std::string& name) {
  const auto dot = name.rfind('.');
  return dot == std::string::npos ? -1 : std::strtol(name.c_str() + dot + 1, nullptr, 10);
}

}  // namespace

std::vector<std::string> ListUdcs(const std::string& classRoot) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(classRoot, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const long na = UdcNumber(a), nb = UdcNumber(b);
    return na != nb ? na < nb : a < b;
  });
  return names;
}

ConfigfsGadget::ConfigfsGadget(std::string configfsRoot, std::string ffsRoot, GadgetIdentity id)
    : configfsRoot_(std::move(configfsRoot)), ffsRoot_(std::move(ffsRoot)), id_(std::move(id)) {}

ConfigfsGadget::~ConfigfsGadget() { destroy(); }

std::string ConfigfsGadget::gadgetDir() const { return configfsRoot_ + "/usb_gadget/" + id_.name; }
std::string ConfigfsGadget::ffsDir() const { return ffsRoot_ + "/" + id_.name; }

bool ConfigfsGadget::create(std::string* error) {
  const std::string g = gadgetDir();
  const std::string function = g + "/functions/ffs." + id_.name;
  const std::string config = g + "/configs/c.1";
  created_ = true;  // from here on destroy() has something to remove
  if (!MakeDir(g, error) || !WriteText(g + "/idVendor", HexId(id_.vendorId), error) ||
      !WriteText(g + "/idProduct", HexId(id_.productId), error) ||
      !WriteText(g + "/bcdUSB", "0x0200", error) ||
      !WriteText(g + "/bcdDevice", "0x0100", error) || !MakeDir(g + "/strings/0x409", error) ||
      !WriteText(g + "/strings/0x409/manufacturer", id_.manufacturer, error) ||
      !WriteText(g + "/strings/0x409/product", id_.product, error) ||
      !WriteText(g + "/strings/0x409/serialnumber", id_.serial, error) ||
      !MakeDir(function, error) || !MakeDir(config, error) ||
      !WriteText(config + "/MaxPower", "100", error) ||
      !MakeDir(config + "/strings/0x409", error) ||
      !WriteText(config + "/strings/0x409/configuration", "Mass storage", error))
    return false;
  const std::string link = config + "/ffs." + id_.name;
  if (::symlink(function.c_str(), link.c_str()) != 0 && errno != EEXIST) {
    if (error) *error = "symlink " + link + ": " + std::strerror(errno);
    return false;
  }
  if (!MakeDir(ffsRoot_, error) || !MakeDir(ffsDir(), error)) return false;
  if (::mount(id_.name.c_str(), ffsDir().c_str(), "functionfs", 0, nullptr) != 0) {
    if (error) *error = "mount functionfs " + id_.name + " on " + ffsDir() + ": " + std::strerror(errno);
    return false;
  }
  mounted_ = true;
  return true;
}

bool ConfigfsGadget::bind(const std::string& udc, std::string* error) {
  return WriteText(udcFile(), udc + "\n", error);
}

bool ConfigfsGadget::unbind(std::string* error) { return WriteText(udcFile(), "\n", error); }

void ConfigfsGadget::destroy() {
  if (!created_) return;
  created_ = false;
  const std::string g = gadgetDir();
  const std::string config = g + "/configs/c.1";
  WriteText(udcFile(), "\n", nullptr);
  if (mounted_) ::umount2(ffsDir().c_str(), MNT_DETACH);
  mounted_ = false;
  ::rmdir(ffsDir().c_str());
  ::unlink((config + "/ffs." + id_.name).c_str());
  for (const std::string& d : {config + "/strings/0x409", config, g + "/functions/ffs." + id_.name,
                               g + "/strings/0x409", g})
    ::rmdir(d.c_str());
}

}  // namespace kvx::gadget
