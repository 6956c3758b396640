#pragma once
// The named fields of the 50-word register block of an IP v1 NP (register_block.h). Each
// field is named once, here, and written with set_register_field. The NP types share the
// block: a CNP and an FNP write the same word with different fields where their layouts
// differ (word 11, 35). Fields whose hardware meaning this code does not need are named
// by their position.
#include "core/register_field.h"

namespace morla::v1::reg {

inline constexpr BlockField kFnpBlock{1, 4, 1};
inline constexpr BlockField kWord1Bit5{1, 5, 1};
inline constexpr BlockField kWord1Bit6{1, 6, 1};
inline constexpr BlockField kWord1Bit7{1, 7, 1};
inline constexpr BlockField kFnpKind{1, 20, 2};
inline constexpr BlockField kSingleBuffer{1, 22, 1};
inline constexpr BlockField kWord1Bits24To25{1, 24, 2};

inline constexpr BlockField kWord2Flag{2, 7, 1};

inline constexpr BlockField kInputBitsHalf{3, 0, 2};
inline constexpr BlockField kSeparable{3, 2, 1};
inline constexpr BlockField kWeights4Bit{3, 3, 1};
inline constexpr BlockField kWeightBitsCode{3, 4, 2};
inline constexpr BlockField kMultiBitWeights{3, 7, 1};
inline constexpr BlockField kPointwiseBitsHalf{3, 8, 2};
inline constexpr BlockField kActBitsHalf{3, 12, 2};
inline constexpr BlockField kActivationOn{3, 15, 1};
inline constexpr BlockField kNpCount{3, 16, 8};
inline constexpr BlockField kOrder{3, 24, 8};

inline constexpr BlockField kInputWords{4, 0, 18};
inline constexpr BlockField kWord4Bit31{4, 31, 1};

inline constexpr BlockField kWord6Bits16To20{6, 16, 5};
inline constexpr BlockField kWord6Bits24To28{6, 24, 5};

inline constexpr BlockField kHeight{8, 0, 11};
inline constexpr BlockField kWindowRowOffset{8, 12, 4};
inline constexpr BlockField kWidth{8, 16, 11};
inline constexpr BlockField kWindowColOffset{8, 28, 4};

inline constexpr BlockField kWindowY{9, 0, 12};
inline constexpr BlockField kRowPhase{9, 12, 1};
inline constexpr BlockField kWindowX{9, 16, 12};
inline constexpr BlockField kColPhase{9, 28, 1};

inline constexpr BlockField kWindowHeight{10, 0, 11};
inline constexpr BlockField kWindowWidth{10, 16, 11};

inline constexpr BlockField kAlignedWidth{11, 0, 8};
inline constexpr BlockField kChannelWeightWords{11, 12, 10};
inline constexpr BlockField kFnpInputCount{11, 12, 18};

inline constexpr BlockField kWeightChunk{12, 24, 8};

inline constexpr BlockField kWord13Bits0To15{13, 0, 16};

inline constexpr BlockField kWord14InputWords{14, 0, 18};
inline constexpr BlockField kWord14Bit31{14, 31, 1};

inline constexpr BlockField kFnpUnits{15, 0, 17};

inline constexpr BlockField kWord16Bits0To17{16, 0, 18};
inline constexpr BlockField kFnpActivation{16, 28, 2};

inline constexpr BlockField kFnpImageWords{17, 0, 16};
inline constexpr BlockField kFnpImageChunks{17, 20, 4};

inline constexpr BlockField kPointwiseGroups{20, 0, 7};
inline constexpr BlockField kStride2{20, 8, 1};
inline constexpr BlockField kPointwiseNeurons{20, 16, 11};
inline constexpr BlockField kKernelSize{20, 28, 3};

inline constexpr BlockField kMultiBitNeurons{21, 0, 11};
inline constexpr BlockField kBinaryNeurons{21, 16, 11};

inline constexpr BlockField kWord22Bits0To10{22, 0, 11};
inline constexpr BlockField kDepthwiseWeightPairs{22, 16, 14};

inline constexpr BlockField kOutY{24, 0, 12};
inline constexpr BlockField kOutX{24, 16, 12};

inline constexpr BlockField kOutHeight{25, 0, 10};
inline constexpr BlockField kOutWidth{25, 16, 8};

inline constexpr BlockField kStartNeuron{26, 0, 11};
inline constexpr BlockField kFilters{26, 16, 11};

inline constexpr BlockField kPoolSize{27, 0, 3};
inline constexpr BlockField kPoolStride{27, 4, 3};
inline constexpr BlockField kPoolFlag{27, 8, 1};
inline constexpr BlockField kPadRightEdge{27, 12, 1};
inline constexpr BlockField kPadLeftEdge{27, 13, 1};
inline constexpr BlockField kPadBottomEdge{27, 14, 1};
inline constexpr BlockField kPadTopEdge{27, 15, 1};

inline constexpr BlockField kChannelRowWords{28, 0, 14};
inline constexpr BlockField kRowBytes{28, 16, 9};

inline constexpr BlockField kWord29Bit0{29, 0, 1};
inline constexpr BlockField kFilterBytes{29, 16, 8};

inline constexpr BlockField kP2pWord32Bit0{32, 0, 1};
inline constexpr BlockField kP2pToFnp{32, 1, 1};
inline constexpr BlockField kP2pWord32Bit2{32, 2, 1};
inline constexpr BlockField kP2pInputBitsHalf{32, 4, 2};
inline constexpr BlockField kP2pPreviousPassOrder{32, 24, 8};

inline constexpr BlockField kP2pWindowY{33, 0, 12};
inline constexpr BlockField kP2pWindowX{33, 16, 12};

inline constexpr BlockField kP2pHeight{34, 0, 11};
inline constexpr BlockField kP2pWidth{34, 16, 11};

inline constexpr BlockField kP2pChannelRowWords{35, 0, 14};
inline constexpr BlockField kP2pFnpInputs{35, 0, 18};
inline constexpr BlockField kP2pRowBytes{35, 16, 9};

inline constexpr BlockField kLearnWeightBudget{36, 0, 20};
inline constexpr BlockField kLearning{36, 28, 1};

inline constexpr BlockField kMinPlasticity{37, 0, 16};
inline constexpr BlockField kWord37Bits24To31{37, 24, 8};

inline constexpr BlockField kPlasticityDecay{38, 0, 16};

inline constexpr BlockField kLearnWord39{39, 0, 16};

inline constexpr BlockField kLearnWord41{41, 0, 12};

inline constexpr BlockField kP2pOutput{44, 0, 1};
inline constexpr BlockField kWord44Bit1{44, 1, 1};
inline constexpr BlockField kLastOfPass{44, 2, 1};
inline constexpr BlockField kWord44Bits16To23{44, 16, 8};
inline constexpr BlockField kNextOrderMarker{44, 24, 8};

inline constexpr BlockField kDestRowOrLow{45, 0, 8};
inline constexpr BlockField kDestColOrHigh{45, 8, 8};
inline constexpr BlockField kDestIdMask{45, 20, 4};
inline constexpr BlockField kNextOrder{45, 24, 8};

inline constexpr BlockField kSourceLow{46, 0, 8};
inline constexpr BlockField kSourceHigh{46, 8, 8};
inline constexpr BlockField kWord46Bit30{46, 30, 1};
inline constexpr BlockField kWord46Bit31{46, 31, 1};

inline constexpr BlockField kSpanLow{47, 0, 8};
inline constexpr BlockField kSpanHigh{47, 8, 8};
inline constexpr BlockField kWord47Bits16To23{47, 16, 8};
inline constexpr BlockField kWord47Bits24To31{47, 24, 8};

inline constexpr BlockField kDmaRow{49, 0, 8};
inline constexpr BlockField kDmaCol{49, 8, 8};
inline constexpr BlockField kDmaIdMask{49, 16, 4};

}  // namespace morla::v1::reg
