#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <stdexcept>

#include "engine_api/tensor.h"
#include "test_helpers.h"

namespace morla {
namespace {

using Layout = Dense::Layout;

std::unique_ptr<Dense> iota_int32(const Shape& shape, Layout layout) {
  auto d = Dense::create(TensorType::int32, shape, layout);
  auto* p = d->mutable_data<int32_t>();
  std::iota(p, p + d->size(), 0);
  return d;
}

TEST(DenseLayout, StridesOfBothLayouts) {
  EXPECT_EQ(Dense::eval_strides(Shape({2, 3, 4}), Layout::RowMajor),
            (std::vector<uint32_t>{12, 4, 1}));
  EXPECT_EQ(Dense::eval_strides(Shape({2, 3, 4}), Layout::ColMajor),
            (std::vector<uint32_t>{1, 2, 6}));
  EXPECT_EQ(Dense::eval_strides(Shape({5}), Layout::ColMajor), (std::vector<uint32_t>{1}));
}

TEST(DenseCreate, ZeroFilledWithElementSize) {
  auto d = Dense::create(TensorType::int16, Shape({3, 5}), Layout::RowMajor);
  EXPECT_EQ(d->size(), 15u);
  EXPECT_EQ(d->buffer().size(), 30u);
  for (size_t i = 0; i < 15; ++i) EXPECT_EQ(d->get<int16_t>(i), 0);
}

TEST(DenseCreate, RefusesUnknownType) {
  EXPECT_THROW(Dense::create(static_cast<TensorType>(11), Shape({2}), Layout::RowMajor),
               std::invalid_argument);
}

TEST(DenseCopy, RefusesByteCountThatIsNotElementsTimesSize) {
  const int32_t data[4] = {1, 2, 3, 4};
  EXPECT_THROW(Dense::copy(reinterpret_cast<const char*>(data), 15, TensorType::int32, Shape({4}),
                           Layout::RowMajor),
               std::invalid_argument);
  EXPECT_THROW(Dense::copy(reinterpret_cast<const char*>(data), 16, TensorType::int32, Shape({5}),
                           Layout::RowMajor),
               std::invalid_argument);
  auto d = Dense::copy(reinterpret_cast<const char*>(data), 16, TensorType::int32, Shape({2, 2}),
                       Layout::RowMajor);
  EXPECT_EQ(d->get<int32_t>(3), 4);
}

TEST(TypedAccess, SubByteTypesUseTheirStorageType) {
  auto d = Dense::create(TensorType::int4, Shape({2}), Layout::RowMajor);
  EXPECT_NO_THROW(d->data<int8_t>());
  EXPECT_EQ(test::error_text<std::runtime_error>([&] { d->data<uint8_t>(); }),
            "Wrong requested type unsigned char for a tensor of type int4");
  auto f = Dense::create(TensorType::float32, Shape({1}), Layout::RowMajor);
  EXPECT_THROW(f->data<int32_t>(), std::runtime_error);
  EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(11)), "unknown");
  EXPECT_STREQ(Tensor::type_name(TensorType::uint16), "uint16");
}

TEST(TypedAccess, RefusesOutOfRangeIndex) {
  auto d = Dense::create(TensorType::uint8, Shape({2, 2}), Layout::RowMajor);
  d->set<uint8_t>(3, 9);
  EXPECT_EQ(d->get<uint8_t>(3), 9);
  EXPECT_THROW(d->get<uint8_t>(4), std::runtime_error);
  EXPECT_THROW(d->set<uint8_t>(4, 1), std::runtime_error);
}

TEST(DenseEquality, ComparesTypeLayoutShapeAndBytes) {
  auto a = iota_int32(Shape({2, 3}), Layout::RowMajor);
  auto b = iota_int32(Shape({2, 3}), Layout::RowMajor);
  EXPECT_TRUE(*a == *b);
  EXPECT_TRUE(*a == static_cast<const Tensor&>(*b));
  b->set<int32_t>(5, 100);
  EXPECT_FALSE(*a == *b);
  EXPECT_FALSE(*a == *iota_int32(Shape({2, 3}), Layout::ColMajor));
  EXPECT_FALSE(*a == *iota_int32(Shape({3, 2}), Layout::RowMajor));
  auto c = Dense::create(TensorType::float32, Shape({2, 3}), Layout::RowMajor);
  EXPECT_FALSE(*a == *c);
}

TEST(DenseSplit, OnePiecePerFirstIndexInBothLayouts) {
  auto row = iota_int32(Shape({2, 3}), Layout::RowMajor);
  auto pieces = Dense::split(*row);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1]->shape(), Shape({3}));
  EXPECT_EQ(pieces[1]->get<int32_t>(0), 3);
  EXPECT_EQ(pieces[1]->get<int32_t>(2), 5);

  // Layout 1 (first index fastest): element (i, j) lies at i + 2 * j.
  auto col = iota_int32(Shape({2, 3}), Layout::ColMajor);
  auto col_pieces = Dense::split(*col);
  ASSERT_EQ(col_pieces.size(), 2u);
  EXPECT_EQ(col_pieces[1]->get<int32_t>(0), 1);
  EXPECT_EQ(col_pieces[1]->get<int32_t>(1), 3);
  EXPECT_EQ(col_pieces[1]->get<int32_t>(2), 5);

  auto flat = iota_int32(Shape({3}), Layout::RowMajor);
  auto scalars = Dense::split(*flat);
  ASSERT_EQ(scalars.size(), 3u);
  EXPECT_EQ(scalars[2]->shape(), Shape({1}));
  EXPECT_EQ(scalars[2]->get<int32_t>(0), 2);
}

TEST(EnsureDense, ReturnsTheSameDense) {
  std::shared_ptr<const Tensor> t = iota_int32(Shape({4}), Layout::RowMajor);
  EXPECT_EQ(Tensor::ensure_dense(t).get(), t.get());
}

}  // namespace
}  // namespace morla
