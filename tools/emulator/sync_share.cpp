#include "items.h"
namespace emu {
void RegisterSyncShare(Router&) {}
}  // namespace emu
