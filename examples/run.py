"""The main job on the bundled example."""

import sys

import vorn


def main() -> int:
    print("vorn", ", ".join(vorn.__all__))
    for name in vorn.__all__:
        fn = getattr(vorn, name)
        print(f"  {name}{fn.__text_signature__}: {fn.__doc__}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
