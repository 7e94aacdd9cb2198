#include "side/modTarvel.h"

#include "startup/Program.h"

void InitBranding(Program& program) {
    const VersionRecord& v = program.version();
    program.BrandProductName = v.productName;
    program.BrandCompanyName = v.companyName;
    program.BrandComments = v.comments;
    program.UseSkin = true;
}
