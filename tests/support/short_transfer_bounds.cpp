#include "service/transfer_rules.h"

// Linked into test programs in place of the launcher's bounds, so that a stall
// is judged in seconds: the same rules, shorter clocks.
const TransferBounds& ActiveTransferBounds() {
    static const TransferBounds bounds{5000, 5000, 2000, 3000, 65536, 6000, {100, 200, 400, 800}};
    return bounds;
}
