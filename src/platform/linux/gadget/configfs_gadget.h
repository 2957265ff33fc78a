#pragma once
// A USB gadget made through configfs with one FunctionFS function, the way a
// simulated disk becomes a real USB device inside the rig's guest:
//   <configfs>/usb_gadget/<name>/{idVendor,idProduct,strings/0x409/...}
//   <configfs>/usb_gadget/<name>/functions/ffs.<name>
//   <configfs>/usb_gadget/<name>/configs/c.1/ffs.<name> -> the function
// and the function's FunctionFS instance mounted at <ffsRoot>/<name>.
// Writing a UDC's name to the gadget's UDC file binds it (a plug); writing
// an empty line unbinds it (an unplug).

#include <string>
#include <vector>

namespace kvx::gadget {

struct GadgetIdentity {
  std::string name;      // configfs directory and FunctionFS instance, e.g. "kvx0"
  std::string serial;    // 12 or more hexadecimal digits, as the bulk-only rules ask
  std::string product = "KVX7350 simulated disk";
  std::string manufacturer = "KVX rig";
  unsigned vendorId = 0x1d6b;   // Linux Foundation
  unsigned productId = 0x0104;  // multifunction composite gadget
};

// The UDCs present (names under /sys/class/udc), sorted by their number so
// "dummy_udc.10" comes after "dummy_udc.9".
std::vector<std::string> ListUdcs(const std::string& classRoot = "/sys/class/udc");

class ConfigfsGadget {
 public:
  ConfigfsGadget(std::string configfsRoot, std::string ffsRoot, GadgetIdentity id);
  ~ConfigfsGadget();
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

  // Creates the configfs tree and mounts the FunctionFS instance.
  bool create(std::string* error);
  bool bind(const std::string& udc, std::string* error);
  bool unbind(std::string* error);
  // Unbinds, unmounts and removes the configfs tree; safe to call twice.
  void destroy();

  std::string gadgetDir() const;
  std::string ffsDir() const;
  std::string udcFile() const { return gadgetDir() + "/UDC"; }

 private:
  std::string configfsRoot_, ffsRoot_;
  GadgetIdentity id_;
  bool created_ = false, mounted_ = false;
};

}  // namespace kvx::gadget
