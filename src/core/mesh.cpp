#include "core/mesh.h"

#include <stdexcept>

namespace morla {

np::Info np::Info::hrc(bool has_lut) { return Info{hw::Ident{}, {hw::Type::HRC}, has_lut}; }

bool np::Info::operator==(const Info& other) const {
  return ident == other.ident && types == other.types && has_lut == other.has_lut;
}

SramSize default_sram_size(IpVersion version) {
  switch (version) {
    case IpVersion::v1: return SramSize{43008, 44800, 0, 0, 0, 0};
    case IpVersion::v2: return SramSize{65536, 51200, 0, 0, 0, 0};
    case IpVersion::mote: return SramSize{0, 0, 448, 8192, 892, 256};
    default: return SramSize{};
  }
}

Mesh::Mesh(IpVersion version_, const hw::Ident& dma_event_, const hw::Ident& dma_conf_,
           std::optional<np::Info> hrc_, std::vector<np::Info> nps_,
           std::vector<np::Info> skip_dmas_)
    : version(version_),
      dma_event(dma_event_),
      dma_conf(dma_conf_),
      hrc(std::move(hrc_)),
      nps(std::move(nps_)),
      skip_dmas(std::move(skip_dmas_)) {
  if (version != IpVersion::v1 && version != IpVersion::v2 && version != IpVersion::mote)
    throw std::runtime_error("The mesh should have a valid IP version.");
  np_sram_size = default_sram_size(version);
}

bool Mesh::operator==(const Mesh& other) const {
  return version == other.version && dma_event == other.dma_event && dma_conf == other.dma_conf &&
         hrc == other.hrc && nps == other.nps && skip_dmas == other.skip_dmas &&
         np_sram_size == other.np_sram_size;
}

bool Mesh::has_lut_on_all_nps() const {
  if (hrc && !hrc->has_lut) return false;
  for (const auto& np : nps)
    if (!np.has_lut) return false;
  return true;
}

}  // namespace morla
