/* What the tool's output costs without the tool: the same five lines of a
 * read, printed with printf. scripts/bench.py measures the tool against it. */
#include <stdio.h>

int main(void)
{
    printf("Successfully created device information set.\n");
    printf("DevDetails->cbSize = %u\n", 6u);
    printf("   %s\n", "\\\\?\\ROOT#LED#0000#{702eda9e-7390-4cfe-aea2-6f85676e3d22}");
    printf("Success creating device\n");
    printf("Brightness == %u\n", 0u);
    return 0;
}
