#pragma once
// The processing fabric of a device: DMAs, optional HRC, NPs, skip DMAs, SRAM sizes.
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "core/hw_ident.h"
#include "core/hw_type.h"
#include "core/ip_version.h"

namespace morla {

namespace np {

// One processing element and the kinds of work it can take.
struct Info {
  hw::Ident ident;
  std::set<hw::Type> types;
  bool has_lut = false;

  // The HRC of a mesh: ident all zero, the one type HRC.
  static Info hrc(bool has_lut);

  bool operator==(const Info& other) const;
  bool operator!=(const Info& other) const { return !(*this == other); }
};

}  // namespace np

struct SramSize {
  uint32_t input_bytes = 0;
  uint32_t weight_bytes = 0;
  uint32_t stsram_32b_size = 0;
  uint32_t fsram_64b_size = 0;
  uint32_t tsram_51b_size = 0;
  uint32_t evsram_32b_size = 0;

  bool operator==(const SramSize& other) const = default;
};

// Default SRAM sizes of each IP generation.
SramSize default_sram_size(IpVersion version);

struct Mesh {
  IpVersion version = IpVersion::none;
  hw::Ident dma_event;
  hw::Ident dma_conf;
  std::optional<np::Info> hrc;
  std::vector<np::Info> nps;
  std::vector<np::Info> skip_dmas;
  SramSize np_sram_size;

  // Throws std::runtime_error "The mesh should have a valid IP version." unless
  // version is v1, v2 or mote.
  Mesh(IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
       std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas);

  bool operator==(const Mesh& other) const;
  bool operator!=(const Mesh& other) const { return !(*this == other); }

  // False when an HRC without LUT is present; else whether every NP has a LUT.
  bool has_lut_on_all_nps() const;
};

}  // namespace morla
