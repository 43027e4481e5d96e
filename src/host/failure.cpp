#include "host/failure.h"

namespace brindlecast {

void fail(const Failure& failure) {
    throw failure;
}

}  // namespace brindlecast
