#include "devices/mesh_discovery.h"

#include <algorithm>
#include <stdexcept>

#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "core/mesh.h"
#include "drivers/hardware_driver.h"

namespace morla {
namespace {

uint8_t byte_of(uint32_t word, int shift) { return static_cast<uint8_t>(word >> shift); }

// The fields of the geometry words at 0x50, 0x54 and 0x58.
struct Geometry {
  uint8_t rows, cols, first_col_row1, first_col_row2, slots;
  bool dma_node_empty;
  uint8_t dma_row, dma_col, dma_event_id, dma_conf_id;
  uint8_t probed_row, probed_col, last_col;

  Geometry(uint32_t w50, uint32_t w54, uint32_t w58)
      : rows(byte_of(w50, 0)),
        cols(byte_of(w50, 8)),
        first_col_row1(byte_of(w50, 16)),
        first_col_row2(byte_of(w50, 24)),
        slots(w54 & 0x7),
        dma_node_empty((w54 >> 4) & 1),
        dma_row(byte_of(w54, 8)),
        dma_col(byte_of(w54, 16)),
        dma_event_id((w54 >> 24) & 0x3),
        dma_conf_id((w54 >> 28) & 0x3),
        probed_row(byte_of(w58, 0)),
        probed_col(byte_of(w58, 8)),
        last_col(byte_of(w58, 24)) {}

  bool skipped(uint8_t col, uint8_t row, uint8_t id) const {
    if (row == dma_row && col == dma_col)
      return dma_node_empty || id == dma_event_id || id == dma_conf_id;
    if (row == probed_row && col == probed_col) return false;
    return (row == 1 && col < std::max<uint8_t>(first_col_row1, 1)) ||
           (row == 2 && col < std::max<uint8_t>(first_col_row2, 1)) ||
           (row == rows && col > last_col);
  }
};

class RegisterReader {
 public:
  explicit RegisterReader(HardwareDriver& driver)
      : driver_(driver), base_(driver.registers_base()) {}
  uint32_t operator()(uint32_t offset) const { return read_register(driver_, base_ + offset); }

 private:
  HardwareDriver& driver_;
  uint32_t base_;
};

std::set<hw::Type> np_types(uint32_t info, bool v2) {
  std::set<hw::Type> types;
  switch ((info >> 4) & 3) {
    case 2: types.insert(hw::Type::FNP2); break;
    case 3: types.insert(hw::Type::FNP3); break;
    default: break;
  }
  switch ((info >> 6) & 3) {
    case 1: types.insert(hw::Type::CNP1); break;
    case 2: types.insert({hw::Type::CNP1, hw::Type::CNP2}); break;
    default: break;
  }
  if (v2) {
    if (info & (1u << 8)) types.insert(hw::Type::TNP_B);
    if (info & (1u << 9)) types.insert(hw::Type::TNP_R);
  }
  return types;
}

std::vector<np::Info> walk_nps(HardwareDevice& device, const Geometry& g, bool v2) {
  std::vector<np::Info> nps;
  for (unsigned col = 1; col <= g.cols; ++col)
    for (unsigned row = 1; row <= g.rows; ++row)
      for (unsigned id = 0; id < g.slots; ++id) {
        const hw::Ident ident{static_cast<uint8_t>(col), static_cast<uint8_t>(row),
                              static_cast<uint8_t>(id), 0};
        if (g.skipped(ident.col, ident.row, ident.id)) continue;
        uint32_t info = 0;
        device.read_np_info(&info, &ident, 1);
        nps.push_back(np::Info{ident, np_types(info, v2), ((info >> 10) & 1) != 0});
      }
  return nps;
}

std::vector<np::Info> skip_dmas_of(uint32_t w64) {
  const uint32_t mask = w64 & 0xFFFF;
  const uint8_t channel = byte_of(w64, 24);
  std::vector<np::Info> skip_dmas;
  for (unsigned k = 1; (mask >> (k - 1)) > 1; ++k)
    if (mask & (1u << k))
      skip_dmas.push_back(np::Info{{static_cast<uint8_t>(k), 1, 3, channel},
                                   {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD},
                                   false});
  return skip_dmas;
}

}  // namespace

std::unique_ptr<Mesh> discover_mesh(HardwareDevice* device) {
  const HwVersion version = device->version();
  const RegisterReader reg(*device->driver());
  // One statement each, so that the board sees the reads in this order.
  const uint32_t w50 = reg(0x50);
  const uint32_t w54 = reg(0x54);
  const uint32_t w58 = reg(0x58);
  Geometry g(w50, w54, w58);
  const bool orbi_v2 = version == devices::Orbi_v2;
  if (orbi_v2) g.last_col = g.cols;
  const hw::Ident dma_event{g.dma_col, g.dma_row, g.dma_event_id, 0};
  const hw::Ident dma_conf{g.dma_col, g.dma_row, g.dma_conf_id, 0};
  const IpVersion ip = version.get_ip_version();

  std::optional<np::Info> hrc;
  if (orbi_v2 || (ip != IpVersion::mote && ip != IpVersion::v2)) hrc = np::Info::hrc(false);

  if (ip == IpVersion::mote) {
    const uint32_t stsram = reg(0x70), fsram = reg(0x74), tsram = reg(0x78), evsram = reg(0x7C);
    std::vector<np::Info> nps{np::Info{{0, 0, 0, 0}, {hw::Type::TNP_R}, false}};
    auto mesh = std::make_unique<Mesh>(IpVersion::mote, dma_event, dma_conf, std::move(hrc),
                                       std::move(nps), std::vector<np::Info>{});
    mesh->np_sram_size.stsram_32b_size = stsram;
    mesh->np_sram_size.fsram_64b_size = fsram;
    mesh->np_sram_size.tsram_51b_size = tsram;
    mesh->np_sram_size.evsram_32b_size = evsram;
    return mesh;
  }
  if (ip == IpVersion::v2) {
    const uint32_t w68 = reg(0x68);
    const uint32_t w64 = reg(0x64);
    const uint32_t input = reg(0x70);
    const uint32_t weight = reg(0x74);
    if (input == 0 || weight == 0) throw std::runtime_error("The mesh has no SRAM.");
    if (w68 & (1u << 4)) hrc = np::Info::hrc((w68 & (1u << 6)) != 0);
    auto nps = walk_nps(*device, g, true);
    auto mesh = std::make_unique<Mesh>(IpVersion::v2, dma_event, dma_conf, std::move(hrc),
                                       std::move(nps), skip_dmas_of(w64));
    mesh->np_sram_size.input_bytes = (input * 2u) & 0x0FFFFFFEu;
    mesh->np_sram_size.weight_bytes = (weight * 100u) >> 4;
    return mesh;
  }
  if (ip == IpVersion::v1) {
    auto nps = walk_nps(*device, g, false);
    return std::make_unique<Mesh>(IpVersion::v1, dma_event, dma_conf, std::move(hrc),
                                  std::move(nps), std::vector<np::Info>{});
  }
  throw std::runtime_error("Unknown IP version.");
}

}  // namespace morla
