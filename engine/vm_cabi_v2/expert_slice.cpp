#include "vm_cabi_v2/expert_slice.h"

#include "vm_cabi_v2/ggml_blocks.h"

namespace vm {

int vm_block_bytes(unsigned type) { return int(ggml_block(type).bytes); }

} // namespace vm
