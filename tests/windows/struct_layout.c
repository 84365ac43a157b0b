/* Prints the C compiler's layout of the structs of zentrel_ext.h, one
 * "STRUCT size N" and one "STRUCT.field offset N" line each, for the .NET
 * binding's own layout to be held against (scripts/test-csharp natively,
 * scripts/test-windows cross-built for x86 and x64 under Wine). */
#include <stddef.h>
#include <stdio.h>

#include "zentrel/zentrel_ext.h"

#define SIZE(type) printf("%s size %u\n", #type, (unsigned)sizeof(type))
#define FIELD(type, field) printf("%s.%s offset %u\n", #type, #field, (unsigned)offsetof(type, field))

int main(void) {
    SIZE(ZentrelPoint);
    FIELD(ZentrelPoint, x);
    FIELD(ZentrelPoint, y);

    SIZE(ZentrelTile);
    FIELD(ZentrelTile, size);
    FIELD(ZentrelTile, found);
    FIELD(ZentrelTile, match);
    FIELD(ZentrelTile, width);
    FIELD(ZentrelTile, height);
    FIELD(ZentrelTile, vector_a);
    FIELD(ZentrelTile, vector_b);
    FIELD(ZentrelTile, origin);
    FIELD(ZentrelTile, confidence);
    FIELD(ZentrelTile, unit_width);
    FIELD(ZentrelTile, unit_height);
    FIELD(ZentrelTile, mirror);
    FIELD(ZentrelTile, region_x);
    FIELD(ZentrelTile, region_y);
    FIELD(ZentrelTile, region_width);
    FIELD(ZentrelTile, region_height);

    SIZE(ZentrelQuad);
    FIELD(ZentrelQuad, size);
    FIELD(ZentrelQuad, found);
    FIELD(ZentrelQuad, corners);
    FIELD(ZentrelQuad, confidence);

    SIZE(ZentrelExportOptions);
    FIELD(ZentrelExportOptions, size);
    FIELD(ZentrelExportOptions, combine);
    FIELD(ZentrelExportOptions, flatten);
    FIELD(ZentrelExportOptions, format);
    FIELD(ZentrelExportOptions, dpi);

    SIZE(ZentrelExportResult);
    FIELD(ZentrelExportResult, size);
    FIELD(ZentrelExportResult, width);
    FIELD(ZentrelExportResult, height);
    FIELD(ZentrelExportResult, match);
    FIELD(ZentrelExportResult, repeats);
    FIELD(ZentrelExportResult, format);
    FIELD(ZentrelExportResult, physical);
    FIELD(ZentrelExportResult, recorded);
    FIELD(ZentrelExportResult, seam_score);
    FIELD(ZentrelExportResult, dpi_x);
    FIELD(ZentrelExportResult, dpi_y);
    FIELD(ZentrelExportResult, width_mm);
    FIELD(ZentrelExportResult, height_mm);
    FIELD(ZentrelExportResult, width_in);
    FIELD(ZentrelExportResult, height_in);
    return 0;
}
