// Mesh discovery from the registers of a simulated board, through the USB driver.
#include <gtest/gtest.h>

#include <stdexcept>

#include "core/device_versions.h"
#include "engine_api/hardware_device.h"
#include "core/mesh.h"
#include "devices/mesh_discovery.h"
#include "driver_test_support.h"
#include "test_helpers.h"

namespace morla {
namespace {

using hw::Ident;
using hw::Type;

constexpr uint32_t kCnp1 = 1u << 6;
constexpr uint32_t kCnp12 = 2u << 6;
constexpr uint32_t kFnp2 = 2u << 4;
constexpr uint32_t kFnp3 = 3u << 4;
constexpr uint32_t kTnpB = 1u << 8;
constexpr uint32_t kTnpR = 1u << 9;
constexpr uint32_t kLut = 1u << 10;

// The small v1 mesh: 2 x 2, one slot, DMA node (1,1) without NPs, L = 2.
sim::BoardConfig v1_board() {
  sim::BoardConfig board_config;
  board_config.version = devices::TwoNodesIP_v1;
  board_config.geometry = sim::MeshGeometry{2, 2, 0, 0, 1, true, 1, 1, 0, 0, 0, 0, 2};
  board_config.np_info = {{Ident{1, 2, 0, 0}, kCnp1 | kLut},
                          {Ident{2, 1, 0, 0}, kFnp2},
                          {Ident{2, 2, 0, 0}, kCnp12 | kFnp3 | kTnpB}};
  return board_config;
}

sim::BoardConfig v2_board() {
  sim::BoardConfig board_config;
  board_config.version = devices::FPGA_v2;
  // 3 rows x 2 columns, 2 slots; DMA node (1,1) with event DMA 0 and config DMA 1.
  board_config.geometry = sim::MeshGeometry{3, 2, 0, 0, 2, false, 1, 1, 0, 1, 0, 0, 1};
  board_config.registers = {{0x64, 0x07000006}, {0x68, 0x50}, {0x70, 0x9000}, {0x74, 0x2000}};
  board_config.np_info = {{Ident{1, 2, 0, 0}, kCnp12 | kTnpB | kLut}, {Ident{1, 2, 1, 0}, kTnpR}};
  return board_config;
}

std::unique_ptr<Mesh> discover_on(const sim::BoardConfig& board_config) {
  sim::BoardSimulator board(board_config);
  const auto driver = test::usb_driver_on(board);
  const auto device = HardwareDevice::create(driver.get());
  return discover_mesh(device.get());
}

std::string discovery_error(const sim::BoardConfig& board_config) {
  return test::error_text<std::runtime_error>([&] { discover_on(board_config); });
}

np::Info info(Ident ident, std::set<Type> types, bool lut) {
  return {ident, std::move(types), lut};
}

TEST(MeshDiscovery, WalksAV1MeshColumnByColumn) {
  testing::internal::CaptureStdout();
  const auto mesh = discover_on(v1_board());
  testing::internal::GetCapturedStdout();
  const Mesh expected(
      IpVersion::v1, Ident{1, 1, 0, 0}, Ident{1, 1, 0, 0}, np::Info::hrc(false),
      {info({1, 2, 0, 0}, {Type::CNP1}, true), info({2, 1, 0, 0}, {Type::FNP2}, false),
       // TNP bits count only on IP v2
       info({2, 2, 0, 0}, {Type::CNP1, Type::CNP2, Type::FNP3}, false)},
      {});
  EXPECT_EQ(*mesh, expected);
  EXPECT_EQ(mesh->np_sram_size, default_sram_size(IpVersion::v1));
}

TEST(MeshDiscovery, FirstColumnOfRowOneRemovesEarlierColumns) {
  sim::BoardConfig board_config = v1_board();
  board_config.geometry.rows = 1;
  board_config.geometry.cols = 4;
  board_config.geometry.last_col = 4;
  board_config.geometry.dma_node_empty = false;
  board_config.geometry.dma_row = 9;
  for (uint8_t a1 : {0, 1, 3}) {
    board_config.geometry.first_col_row1 = a1;
    testing::internal::CaptureStdout();
    const auto mesh = discover_on(board_config);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(mesh->nps.size(), a1 == 3 ? 2u : 4u) << int(a1);
    EXPECT_EQ(mesh->nps.front().ident.col, a1 == 3 ? 3 : 1);
  }
}

TEST(MeshDiscovery, ReadsAV2MeshWithSkipDmasHrcAndSram) {
  testing::internal::CaptureStdout();
  const auto mesh = discover_on(v2_board());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(mesh->version, IpVersion::v2);
  EXPECT_EQ(mesh->dma_event, (Ident{1, 1, 0, 0}));
  EXPECT_EQ(mesh->dma_conf, (Ident{1, 1, 1, 0}));
  EXPECT_EQ(mesh->hrc, np::Info::hrc(true));
  // Column 1: row 1 is the DMA node (both slots are DMAs), rows 2 and 3; column 2:
  // rows 1 and 2 only (L = 1 drops column 2 of the last row).
  ASSERT_EQ(mesh->nps.size(), 8u);
  EXPECT_EQ(mesh->nps[0], info({1, 2, 0, 0}, {Type::CNP1, Type::CNP2, Type::TNP_B}, true));
  EXPECT_EQ(mesh->nps[1], info({1, 2, 1, 0}, {Type::TNP_R}, false));
  EXPECT_EQ(mesh->nps.back().ident, (Ident{2, 2, 1, 0}));
  EXPECT_TRUE(mesh->nps.back().types.empty());
  EXPECT_EQ(mesh->skip_dmas,
            (std::vector<np::Info>{
                info({1, 1, 3, 7}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false),
                info({2, 1, 3, 7}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false)}));
  EXPECT_EQ(mesh->np_sram_size.input_bytes, 0x12000u);
  EXPECT_EQ(mesh->np_sram_size.weight_bytes, (0x2000u * 100u) >> 4);
}

TEST(MeshDiscovery, SkipDmaMaskOfBitZeroOnlyGivesNone) {
  sim::BoardConfig board_config = v2_board();
  board_config.registers[0x64] = 0x00000001;
  board_config.registers[0x68] = 0;
  testing::internal::CaptureStdout();
  const auto mesh = discover_on(board_config);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(mesh->skip_dmas.empty());
  EXPECT_FALSE(mesh->hrc.has_value());
}

TEST(MeshDiscovery, MoteMeshTakesItsSramWords) {
  sim::BoardConfig board_config;
  board_config.version = devices::Mote_FPGA;
  board_config.registers = {{0x70, 11}, {0x74, 22}, {0x78, 33}, {0x7C, 44}};
  testing::internal::CaptureStdout();
  const auto mesh = discover_on(board_config);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(mesh->version, IpVersion::mote);
  EXPECT_FALSE(mesh->hrc.has_value());
  EXPECT_EQ(mesh->nps, (std::vector<np::Info>{info({0, 0, 0, 0}, {Type::TNP_R}, false)}));
  EXPECT_EQ(mesh->np_sram_size, (SramSize{0, 0, 11, 22, 33, 44}));
}

TEST(MeshDiscovery, OrbiV2UsesTheWholeLastRow) {
  sim::BoardConfig board_config = sim::orbi_board(2);
  board_config.geometry.last_col = 0;
  testing::internal::CaptureStdout();
  const auto mesh = discover_on(board_config);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(mesh->version, IpVersion::v1);
  EXPECT_EQ(mesh->hrc, np::Info::hrc(false));
  EXPECT_EQ(mesh->nps.size(), 3u);
}

TEST(MeshDiscovery, RefusesAV2MeshWithoutSramAndUnknownProducts) {
  sim::BoardConfig no_sram = v2_board();
  no_sram.registers[0x70] = 0;
  sim::BoardConfig unknown = v1_board();
  unknown.version.product_id = 0xC3;
  testing::internal::CaptureStdout();
  EXPECT_EQ(discovery_error(no_sram), "The mesh has no SRAM.");
  EXPECT_EQ(discovery_error(unknown), "Unknown IP version.");
  testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace morla
