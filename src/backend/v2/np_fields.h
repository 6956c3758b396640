#pragma once
// The named fields of the 64-word register block of an IP v2 NP (np_registers.h). Each
// field is named once, here, and written with set_register_field. The CNP, FNP and TNP-B
// recorders share the block; where their layouts differ they write different fields of the
// same word (words 22, 35). Fields whose hardware meaning this code does not need are named
// by their position; "In" fields describe the input format of a layer fed by another pass.
#include "core/register_field.h"

namespace morla::v2::reg {

inline constexpr BlockField kFnpBlock{1, 4, 1};
inline constexpr BlockField kWord1Bits5To6{1, 5, 2};
inline constexpr BlockField kWord1Bit7{1, 7, 1};
inline constexpr BlockField kLutActivation{1, 20, 1};
inline constexpr BlockField kSingleBuffer{1, 22, 1};
inline constexpr BlockField kFnp3{1, 24, 2};
inline constexpr BlockField kTnpB{1, 28, 1};
inline constexpr BlockField kInputFormatFlag{1, 29, 1};
inline constexpr BlockField kLearningPeers{1, 31, 1};

inline constexpr BlockField kWord2Bit3{2, 3, 1};
inline constexpr BlockField kNpFlag{2, 7, 1};
inline constexpr BlockField kInboundMaxPooling{2, 8, 1};

inline constexpr BlockField kInputWidthCode{3, 0, 2};
inline constexpr BlockField kDepthwise{3, 2, 1};
inline constexpr BlockField kWeights4Bit{3, 3, 1};
inline constexpr BlockField kWeightWidthCode{3, 4, 2};
inline constexpr BlockField kWeights8Bit{3, 7, 1};
inline constexpr BlockField kChannelPart{3, 10, 1};
inline constexpr BlockField kOutputWidthCode{3, 12, 2};
inline constexpr BlockField kUnclippedOutput{3, 14, 1};
inline constexpr BlockField kRelu{3, 15, 1};
inline constexpr BlockField kNpCount{3, 16, 8};
inline constexpr BlockField kPassByte{3, 24, 8};

inline constexpr BlockField kInputWords{4, 0, 16};
inline constexpr BlockField kWord4Bit29{4, 29, 1};
inline constexpr BlockField kWord4Bit30{4, 30, 1};
inline constexpr BlockField kWord4Bit31{4, 31, 1};

inline constexpr BlockField kWord5Bits8To13{5, 8, 6};
inline constexpr BlockField kWord5Bits16To23{5, 16, 8};

inline constexpr BlockField kWord6Bits16To20{6, 16, 5};
inline constexpr BlockField kWord6Bits24To28{6, 24, 5};

inline constexpr BlockField kHeight{8, 0, 11};
inline constexpr BlockField kWindowRowOffset{8, 12, 3};
inline constexpr BlockField kWidth{8, 16, 11};
inline constexpr BlockField kWindowColOffset{8, 28, 3};

inline constexpr BlockField kWindowY{9, 0, 12};
inline constexpr BlockField kRowPhase{9, 12, 1};
inline constexpr BlockField kWindowX{9, 16, 12};
inline constexpr BlockField kColPhase{9, 28, 1};

inline constexpr BlockField kWindowHeight{10, 0, 11};
inline constexpr BlockField kWindowWidth{10, 16, 11};

inline constexpr BlockField kAlignedWidth{11, 0, 8};
inline constexpr BlockField kChannelWeightSize{11, 12, 18};

inline constexpr BlockField kWord12Bits24To31{12, 24, 8};

inline constexpr BlockField kWord13Bits0To15{13, 0, 16};

inline constexpr BlockField kFnpInputWords{14, 0, 15};
inline constexpr BlockField kWord14Bit29{14, 29, 1};
inline constexpr BlockField kWord14Bit30{14, 30, 1};
inline constexpr BlockField kWord14Bit31{14, 31, 1};

inline constexpr BlockField kFnpInputs{15, 0, 16};
inline constexpr BlockField kFnpNeuronWords{15, 16, 15};

inline constexpr BlockField kWord16Bits0To17{16, 0, 18};

inline constexpr BlockField kFnpWeightField{17, 0, 16};
inline constexpr BlockField kFnpWeightKind{17, 20, 4};

inline constexpr BlockField kStride2{20, 8, 1};
inline constexpr BlockField kTransposed{20, 9, 1};
inline constexpr BlockField kWord20Bit10{20, 10, 1};
inline constexpr BlockField kWord20Bits16To26{20, 16, 11};
inline constexpr BlockField kKernelSize{20, 28, 3};

inline constexpr BlockField kNeuronCount{21, 0, 11};

inline constexpr BlockField kP2pOut{22, 0, 1};
inline constexpr BlockField kFirstChannel{22, 0, 12};
inline constexpr BlockField kChannelCount{22, 16, 10};

inline constexpr BlockField kOutY{24, 0, 12};
inline constexpr BlockField kOutX{24, 16, 12};

inline constexpr BlockField kOutHeight{25, 0, 10};
inline constexpr BlockField kOutWidth{25, 16, 8};

inline constexpr BlockField kFirstFilter{26, 0, 11};
inline constexpr BlockField kFilters{26, 16, 10};

inline constexpr BlockField kPoolSize{27, 0, 3};
inline constexpr BlockField kPoolStride{27, 4, 3};
inline constexpr BlockField kPoolFlag{27, 8, 1};
inline constexpr BlockField kWord27Bit9{27, 9, 1};
inline constexpr BlockField kPadRightEdge{27, 12, 1};
inline constexpr BlockField kPadLeftEdge{27, 13, 1};
inline constexpr BlockField kPadBottomEdge{27, 14, 1};
inline constexpr BlockField kPadTopEdge{27, 15, 1};

inline constexpr BlockField kChannelRowWords{28, 0, 14};
inline constexpr BlockField kRowBytes{28, 16, 16};

inline constexpr BlockField kFilterBytes{29, 16, 8};

inline constexpr BlockField kWord30Bit0{30, 0, 1};
inline constexpr BlockField kWord30Bit1{30, 1, 1};
inline constexpr BlockField kFifo{30, 8, 4};
inline constexpr BlockField kFifoFrames{30, 16, 4};

inline constexpr BlockField kInWord32Bit0{32, 0, 1};
inline constexpr BlockField kInFromFnp{32, 1, 1};
inline constexpr BlockField kInWord32Bit2{32, 2, 1};
inline constexpr BlockField kInMerge{32, 3, 1};
inline constexpr BlockField kInBitsCode{32, 4, 2};
inline constexpr BlockField kInConcatMerge{32, 6, 1};
inline constexpr BlockField kInChannelPart{32, 10, 1};
inline constexpr BlockField kInMaxPooled{32, 11, 1};
inline constexpr BlockField kInPassByte{32, 24, 8};

inline constexpr BlockField kInY{33, 0, 12};
inline constexpr BlockField kInX{33, 16, 12};

inline constexpr BlockField kInHeight{34, 0, 11};
inline constexpr BlockField kInWidth{34, 16, 11};

inline constexpr BlockField kInWords{35, 0, 14};
inline constexpr BlockField kInFnpInputs{35, 0, 18};
inline constexpr BlockField kInWordRows{35, 15, 1};
inline constexpr BlockField kInRowBytes{35, 16, 16};

inline constexpr BlockField kLearning{36, 28, 1};

inline constexpr BlockField kWord37Bits24To31{37, 24, 8};

inline constexpr BlockField kInPooledWords{40, 0, 16};

inline constexpr BlockField kInSpanLow{41, 0, 8};
inline constexpr BlockField kInSpanHigh{41, 8, 8};
inline constexpr BlockField kInNpCount{41, 24, 7};
inline constexpr BlockField kWord41Bit31{41, 31, 1};

inline constexpr BlockField kInFirstChannel{42, 0, 12};
inline constexpr BlockField kInChannelCount{42, 16, 10};

inline constexpr BlockField kWord44Bit1{44, 1, 1};
inline constexpr BlockField kP2pFlag{44, 2, 1};
inline constexpr BlockField kWord44Bit3{44, 3, 1};
inline constexpr BlockField kInP2pFlag{44, 15, 1};
inline constexpr BlockField kWord44Bits16To23{44, 16, 8};
inline constexpr BlockField kWord44Bits24To31{44, 24, 8};

inline constexpr BlockField kDestRowOrLow{45, 0, 8};
inline constexpr BlockField kDestColOrHigh{45, 8, 8};
inline constexpr BlockField kDestIdMask{45, 20, 4};
inline constexpr BlockField kLinkByte{45, 24, 8};

inline constexpr BlockField kSourceRowOrLow{46, 0, 8};
inline constexpr BlockField kSourceColOrHigh{46, 8, 8};
inline constexpr BlockField kSkipStore{46, 19, 1};
inline constexpr BlockField kSourceIdMask{46, 20, 4};
inline constexpr BlockField kWord46Bit31{46, 31, 1};

inline constexpr BlockField kSpanLow{47, 0, 8};
inline constexpr BlockField kSpanHigh{47, 8, 8};
inline constexpr BlockField kPeerSpanLow{47, 16, 8};
inline constexpr BlockField kPeerSpanHigh{47, 24, 8};

inline constexpr BlockField kPeerRowOrLow{48, 0, 8};
inline constexpr BlockField kPeerColOrHigh{48, 8, 8};
inline constexpr BlockField kSinglePeer{48, 16, 1};
inline constexpr BlockField kPeerIdMask{48, 20, 4};
inline constexpr BlockField kPeerOrder{48, 24, 8};

inline constexpr BlockField kIdentRow{49, 0, 8};
inline constexpr BlockField kIdentCol{49, 8, 8};
inline constexpr BlockField kIdentIdMask{49, 16, 4};

inline constexpr BlockField kWord52Bit0{52, 0, 1};
inline constexpr BlockField kWord52Bit1{52, 1, 1};
inline constexpr BlockField kMergeIsAdd{52, 2, 1};
inline constexpr BlockField kWord52Bit3{52, 3, 1};
inline constexpr BlockField kSkipFlag{52, 4, 1};
inline constexpr BlockField kMergeNotFirst{52, 7, 1};
inline constexpr BlockField kSkipIndex{52, 16, 8};
inline constexpr BlockField kSkipDistance{52, 24, 8};

inline constexpr BlockField kWord53Bits0To7{53, 0, 8};
inline constexpr BlockField kSkipLoadCol{53, 8, 8};
inline constexpr BlockField kWord53Bit19{53, 19, 1};
inline constexpr BlockField kSkipLoadIdMask{53, 20, 4};
inline constexpr BlockField kWord53Bit31{53, 31, 1};

inline constexpr BlockField kMergeKindWord{56, 0, 9};
inline constexpr BlockField kFrameBlocks{56, 16, 9};
inline constexpr BlockField kWord56Bit31{56, 31, 1};

inline constexpr BlockField kWord57Bits0To7{57, 0, 8};
inline constexpr BlockField kWord57Bit31{57, 31, 1};

inline constexpr BlockField kWord59Bit0{59, 0, 1};

}  // namespace morla::v2::reg
