#include "ref.h"

#include "exceptions.h"

namespace brenvolt::py {

template <ClaimKind Kind>
void Claim<Kind>::raise_refused() {
  raise_claim_conflict(Kind);
}

template class Claim<ClaimKind::Shared>;
template class Claim<ClaimKind::Exclusive>;

}  // namespace brenvolt::py
