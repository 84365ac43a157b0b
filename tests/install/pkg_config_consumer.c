/* Built by plain compiler calls with the flags from `pkg-config zentrel`. */
#include "consumer_check.h"

int main(int argc, char** argv) {
    if (argc != 2) return ConsumerFail("usage", "pkg_config_consumer FOLDER/");
    return RunConsumerCheck(argv[1]);
}
