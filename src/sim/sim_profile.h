#pragma once
// Simulation profiles: the disks, their flash, defects, faults and latency,
// and the USB tree they hang in. Read from JSON, or made from the short form
// "N healthy disks with a few factory bad blocks and weak pages each".
//
// JSON form (every key optional unless noted; numbers may be given as
// "0x.." strings):
// {
//   "seed": 1,
//   "latency": {"scale": 1, "commandUs": 125, "readPageUs": 50,
//               "programPageUs": 300, "eraseBlockUs": 2000, "perKiBUs": 25,
//               "timeoutScale": 1},
//   "disks": [
//     {"kind": "controller" | "generic",
//      "chips": 1, "blocksPerChip": 1024, "pagesPerBlock": 64, "sectorsPerPage": 4,
//      "flashId": "0xECD35195", "bothLanes": false,
//      "chipSelects": [{"lane0": "0xECD35195", "lane1": 0}, ...],   // overrides the two above
//      "defects": {
//        "factoryBadBlocks": [12, 40] | {"random": 3},
//        "weakPages": [{"block": 5, "page": 7, "passes": [3], "invert": 1, "visits": [0]}]
//                     | {"random": 4},
//        "programFailPages": [{"block": 9, "page": 2}] | {"random": 1},
//        "wearOut": [{"block": 30, "erases": 4}]},
//      "faults": {"unplugAfter": 500, "unplugOn": [{"opcode": "0xD7", "nth": 2}],
//                 "timeouts": [{"opcode": "0xDA", "nth": 3, "count": 1}],
//                 "senses": [{"opcode": "0xD5", "key": 3, "asc": "0x0C", "ascq": 0,
//                             "nth": 1, "count": 0}]},
//      "latency": {...},                        // this disk only
//      "sectors": 131072, "vendor": "..", "product": "..",   // generic disks
//      "plugged": true}
//   ],
//   "usb": [                                    // buses; default: see DefaultTree
//     {"bus": 1, "ports": [ {"hub": [ {"disk": 0}, {"disk": 1}, "mouse", "empty" ]},
//                           {"disk": 2}, "other" ]}
//   ]
// }
// Block numbers in defects are port-wide (chip x blocksPerChip + block).
// A port entry is {"disk": n}, {"hub": [ports...]}, "mouse", "other" or
// "empty"; its port number is its position (1-based).
// When chips > 1 and no chipSelects are given, every chip select below
// `chips` answers the flash ID.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/sim_types.h"

namespace kvx::sim {

struct UsbNode {
  enum class Kind { Empty, Hub, Disk, Mouse, Other };
  Kind kind = Kind::Empty;
  int disk = -1;               // Disk: index into Profile::disks
  std::vector<UsbNode> ports;  // Hub: port k + 1
};

struct UsbBus {
  int bus = 1;
  std::vector<UsbNode> ports;  // root hub ports
};

struct Profile {
  std::uint64_t seed = 1;
  Latency latency;
  std::vector<DiskSpec> disks;
  std::vector<UsbBus> buses;
};

class ProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throw ProfileError with the offending key in the text.
Profile ParseProfile(const std::string& jsonText);
Profile LoadProfile(const std::string& path);

// Latencies of the demo: real round trips and NAND times scaled down so that
// a production of a small disk shows every stage and ends in seconds.
Latency DemoLatency();

// N small healthy disks (1 chip x 256 blocks x 32 pages x 2 KiB), each with
// a few factory bad blocks and weak pages drawn from `seed`, demo latency,
// 8-port hubs on the root ports of bus 1.
Profile ShortFormProfile(int disks, std::uint64_t seed = 1);

// The tree used when a profile names none: bus 1; root port k holds an
// 8-port hub with disks 8(k-1) .. 8k-1.
std::vector<UsbBus> DefaultTree(int disks);

// Draws `count` distinct random defects of each kind for one disk.
void AddRandomFactoryBad(DiskSpec& d, int count, std::uint64_t seed);
void AddRandomWeakPages(DiskSpec& d, int count, std::uint64_t seed);
void AddRandomProgramFails(DiskSpec& d, int count, std::uint64_t seed);

}  // namespace kvx::sim
