import sys

from tamberl.rx.cli import main

sys.exit(main())
