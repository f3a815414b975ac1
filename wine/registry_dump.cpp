// The Linux side of the registry comparison: the same sample read by the
// Linux build's reader (built natively by scripts/test-wine.sh).
#include "registry_sample.h"

int main()
{
    std::cout << kw::read_registry_sample();
    return 0;
}
