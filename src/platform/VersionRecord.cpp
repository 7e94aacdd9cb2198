#include "platform/VersionRecord.h"

#include "VersionInfo.h"

VersionRecord VersionRecord::ofBuild() {
    return VersionRecord{QStringLiteral(KEYNOOK_PRODUCT_NAME), QStringLiteral(KEYNOOK_COMPANY_NAME),
                         QStringLiteral(KEYNOOK_COMMENTS), KEYNOOK_VERSION_MAJOR,
                         KEYNOOK_VERSION_MINOR};
}
