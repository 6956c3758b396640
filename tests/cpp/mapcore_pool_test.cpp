// The component pool: list order by NP role, shortages, new passes, the user's NP choice,
// skip-DMA channels and the room kept for a following BufferTempConv.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/map_constraints.h"
#include "mapcore_test_support.h"
#include "mapping/component_pool.h"

namespace morla {
namespace {

using mapcore_test::cnp_nps;
using mapcore_test::Graph;
using mapcore_test::np_info;
using mapcore_test::v2_device;
using mapcore_test::WordChecker;
using T = hw::Type;

std::vector<hw::Ident> idents_of(const std::vector<PoolEntry>& entries) {
  std::vector<hw::Ident> out;
  for (const auto& e : entries) out.push_back(e.ident);
  return out;
}

std::vector<hw::Ident> idents_of(const std::vector<hw::Component>& components, T type) {
  std::vector<hw::Ident> out;
  for (const auto& c : components)
    if (c.type == type) out.push_back(c.ident);
  return out;
}

// Records the hook calls and can hand back fewer NPs than asked.
class Hooks : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  void next_layer_handler(const std::string& name) const override { names.push_back(name); }
  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, size_t count,
                                    hw::Type type) const override {
    std::vector<hw::Ident> chosen = MapConstraints::select_nps(candidates, count, type);
    if (short_by && chosen.size() >= short_by) chosen.resize(chosen.size() - short_by);
    return chosen;
  }
  mutable std::vector<std::string> names;
  size_t short_by = 0;
};

struct Fixture {
  explicit Fixture(std::shared_ptr<VirtualDevice> device_)
      : device(std::move(device_)), constraints(device), pool(checker, constraints) {
    pool.init();
  }
  std::shared_ptr<VirtualDevice> device;
  WordChecker checker;
  Hooks constraints;
  ComponentPool pool;
};

TEST(ComponentPool, PlainNpsFirstThenFnp3NodesThenFnp3ThenFnp2) {
  const hw::Ident fnp2{1, 1, 0, 0}, plain{2, 1, 0, 0}, fnp3{3, 1, 0, 0}, node{3, 1, 1, 0};
  Fixture f(v2_device({np_info(1, 1, 0, {T::CNP1, T::FNP2}), np_info(2, 1, 0, {T::CNP1}),
                       np_info(3, 1, 0, {T::CNP1, T::FNP3}), np_info(3, 1, 1, {T::CNP1})}));
  EXPECT_EQ(idents_of(f.pool.entries().at(T::CNP1)),
            (std::vector<hw::Ident>{plain, node, fnp3, fnp2}));
  EXPECT_EQ(idents_of(f.pool.entries().at(T::FNP2)), (std::vector<hw::Ident>{fnp2}));
  EXPECT_EQ(f.pool.entries().count(T::HRC), 0u);
}

TEST(ComponentPool, SkipDmaChannelsFollowTheFirstSkipDma) {
  // A first skip DMA that declares no channel offers none.
  Fixture f(v2_device(cnp_nps(1), {np_info(5, 0, 2, {}), np_info(6, 0, 1, {})}));
  EXPECT_EQ(f.pool.entries().count(T::SKIP_DMA_STORE), 0u);
  Mesh mesh(IpVersion::v2, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt, cnp_nps(1),
            {np_info(5, 0, 2, {}), np_info(6, 0, 1, {})});
  mesh.skip_dmas[0].ident.channel = 3;
  mesh.skip_dmas[1].ident.channel = 1;
  Fixture g(make_virtual_device(HwVersion{1, 162, 1, 0}, mesh));
  const std::vector<hw::Ident> expected = {{5, 0, 2, 0}, {5, 0, 2, 1}, {5, 0, 2, 2},
                                           {6, 0, 1, 0}, {6, 0, 1, 1}, {6, 0, 1, 2}};
  EXPECT_EQ(idents_of(g.pool.entries().at(T::SKIP_DMA_STORE)), expected);
  EXPECT_EQ(idents_of(g.pool.entries().at(T::SKIP_DMA_LOAD)), expected);
}

TEST(ComponentPool, ShortageMessages) {
  Graph g;
  const auto conv = g.conv("conv", {"in"});
  EXPECT_EQ(not_enough_components(conv, "CNP1", 3, 1).message(),
            "Cannot map layer 'conv'. Not enough hardware components of type CNP1 available. "
            "3 are needed but 1 is available.");
  EXPECT_EQ(not_enough_components(conv, "FNP3", 1, 0).text,
            "Not enough hardware components of type FNP3 available. 1 is needed but 0 are "
            "available.");
}

TEST(ComponentPool, LayerTooWideForTheMesh) {
  Graph g(100, 4, 2);
  const auto conv = g.conv("conv", {"in"});
  Fixture f(v2_device(cnp_nps(1)));
  bool new_pass = false;
  const LayerResult r = f.pool.map_layer(conv, {}, false, new_pass, true);
  EXPECT_EQ(r.status.text,
            "Not enough hardware components of type CNP1 available. 2 are needed but 1 is "
            "available.");
  EXPECT_EQ(r.components.size(), 2u);  // the components built so far come back
  EXPECT_EQ(f.constraints.names, (std::vector<std::string>{"conv"}));
}

TEST(ComponentPool, FullPassStartsANewOneWhenAllowed) {
  Graph g(8, 8, 2);
  const auto a = g.conv("a", {"in"});
  const auto b = g.conv("b", {"a"});
  for (const bool allowed : {true, false}) {
    Fixture f(v2_device(cnp_nps(1)));
    bool new_pass = false;
    ASSERT_TRUE(f.pool.map_layer(a, {}, false, new_pass, allowed).status.ok());
    EXPECT_FALSE(new_pass);
    const LayerResult r = f.pool.map_layer(b, {}, false, new_pass, allowed);
    if (allowed) {
      EXPECT_TRUE(r.status.ok()) << r.status.message();
      EXPECT_TRUE(new_pass);
      EXPECT_EQ(idents_of(r.components, T::CNP1), (std::vector<hw::Ident>{{1, 1, 0, 0}}));
    } else {
      EXPECT_EQ(r.status.text,
                "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
                "available.");
      EXPECT_FALSE(new_pass);
    }
  }
}

TEST(ComponentPool, ExcludedNpsAreNotHandedOut) {
  Graph g;
  const auto conv = g.conv("conv", {"in"});
  Fixture f(v2_device(cnp_nps(3)));
  bool new_pass = false;
  const LayerResult r = f.pool.map_layer(conv, {{1, 1, 0, 0}, {1, 1, 1, 0}}, false, new_pass, true);
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(idents_of(r.components, T::CNP1), (std::vector<hw::Ident>{{1, 1, 2, 0}}));
  // A CNP taken is gone from every list of the NP.
  EXPECT_TRUE(f.pool.available_idents(T::CNP1).empty());
}

TEST(ComponentPool, CustomSelectionReturningTooFewIsAShortage) {
  Graph g(100, 4, 2);
  const auto conv = g.conv("conv", {"in"});
  Fixture f(v2_device(cnp_nps(4)));
  f.constraints.short_by = 1;
  bool new_pass = false;
  const LayerResult r = f.pool.map_layer(conv, {}, false, new_pass, true);
  EXPECT_EQ(r.status.text,
            "Not enough hardware components of type CNP1 available. 2 are needed but 1 is "
            "available.");
}

TEST(ComponentPool, FullyConnectedTakesFnp3OnlyWhenItsWeightsFit) {
  Graph g(4, 4, 2);
  const auto fc = g.add("fc", LayerType::Dense1D, {{"units", 5}}, {"in"});
  for (const bool fits : {true, false}) {
    Fixture f(
        v2_device({np_info(1, 1, 0, {T::CNP1, T::FNP2}), np_info(2, 1, 0, {T::CNP1, T::FNP3})}));
    f.checker.fnp3 = fits;
    bool new_pass = false;
    const LayerResult r = f.pool.map_layer(fc, {}, false, new_pass, true);
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    ASSERT_EQ(r.components.size(), 1u);
    EXPECT_EQ(r.components[0].type, fits ? T::FNP3 : T::FNP2);
    EXPECT_EQ(r.components[0].np_block->filters, 5u);
    EXPECT_EQ(r.components[0].np_block->spatial_partition, (NpSpace{0, 0, Shape{4, 4, 2}}));
    EXPECT_TRUE(r.components[0].np_block->single_buffer);
  }
}

TEST(ComponentPool, LayerWithoutHardwareComponentsIsAProgrammingError) {
  Graph g;
  g.conv("a", {"in"});
  g.conv("b", {"in"});
  const auto add = g.merge("add", LayerType::Add, {"a", "b"});
  Fixture f(v2_device(cnp_nps(2)));
  bool new_pass = false;
  try {
    f.pool.map_layer(add, {}, false, new_pass, true);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Mapping a layer with HW backend should use HW components.");
  }
}

// A Conv2D followed by a single BufferTempConv: the TNP-B and the skip DMAs it needs must
// still be free in the pass.
class NextBufferTempConv : public testing::Test {
 protected:
  NextBufferTempConv() : g(4, 4, 4) {
    conv = g.conv("conv", {"in"});
    tnp = g.add("tnp", LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, {"conv"});
  }
  std::vector<np::Info> nps() {
    auto list = cnp_nps(1);
    list.push_back(np_info(4, 1, 0, {T::TNP_B}));
    return list;
  }
  std::vector<np::Info> skip_dmas() {
    np::Info dma = np_info(5, 0, 0, {});
    dma.ident.channel = 2;
    return {dma};
  }
  Graph g;
  LayerPtr conv, tnp;
};

TEST_F(NextBufferTempConv, RoomLeftMapsInThePass) {
  Fixture f(v2_device(nps(), skip_dmas()));
  bool new_pass = false;
  EXPECT_TRUE(f.pool.map_layer(conv, {}, false, new_pass, false).status.ok());
  EXPECT_FALSE(new_pass);
}

TEST_F(NextBufferTempConv, TakenTnpBStartsANewPassAndThePlacementIsRedone) {
  Fixture f(v2_device(nps(), skip_dmas()));
  f.pool.mark_taken(hw::Ident{4, 1, 0, 0}, T(0));
  f.pool.mark_taken(hw::Ident{1, 1, 0, 0}, T(0));  // and the CNP, by an earlier layer
  bool new_pass = false;
  const LayerResult r = f.pool.map_layer(conv, {}, false, new_pass, true);
  EXPECT_TRUE(r.status.ok()) << r.status.message();
  EXPECT_TRUE(new_pass);
  EXPECT_EQ(idents_of(r.components, T::CNP1), (std::vector<hw::Ident>{{1, 1, 0, 0}}));
}

TEST_F(NextBufferTempConv, NoNewPassPossibleFails) {
  for (const bool allowed : {false, true}) {
    // Without skip DMAs a new pass does not help either.
    Fixture f(v2_device(nps(), allowed ? std::vector<np::Info>{} : skip_dmas()));
    f.pool.mark_taken(hw::Ident{4, 1, 0, 0}, T(0));
    bool new_pass = false;
    const LayerResult r = f.pool.map_layer(conv, {}, false, new_pass, allowed);
    EXPECT_EQ(r.status.message(),
              "Cannot map layer 'conv'. The next BufferTempConv tnp can't be mapped in the "
              "current pass.");
    EXPECT_EQ(new_pass, allowed);
  }
}

}  // namespace
}  // namespace morla
