#include "ref.h"

#include "exceptions.h"

namespace brenvolt::py {

SharedClaim::SharedClaim(BorrowFlag& flag) : flag_(flag.try_share() ? &flag : nullptr) {
  if (flag_ == nullptr) raise_claim_conflict(ClaimWanted::Shared);
}

ExclusiveClaim::ExclusiveClaim(BorrowFlag& flag) : flag_(flag.try_exclusive() ? &flag : nullptr) {
  if (flag_ == nullptr) raise_claim_conflict(ClaimWanted::Exclusive);
}

}  // namespace brenvolt::py
