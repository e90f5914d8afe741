// merrowfax_app alone, for the check in CMakeLists.txt that reads the shared
// libraries it links; never run.
int main() {
    return 0;
}
