// The engine that the header of every sampled block names while the block is
// in the samples (observe/SampleStore.h): its Free is the sampled block's way
// out, which takes the block out of the samples, names the block's own engine
// in its header again and hands the block to it. So the free path of a block
// that was never sampled is not touched at all.
#pragma once

class allocator_impl;

namespace dideverazez::observe {

// The stand-in, built on the first call and kept until DestroyStandInEngine:
// sampled blocks may be freed by any code until the process ends. Null when
// it cannot be built.
allocator_impl* StandInEngine() noexcept;

// The stand-in as it is now, null before it is built or after it is
// destroyed; never builds it.
allocator_impl* StandInEngineIfBuilt() noexcept;

// No header names the stand-in any more, and none will: it goes, so that no
// engine outlives the module.
void DestroyStandInEngine() noexcept;

} // namespace dideverazez::observe
