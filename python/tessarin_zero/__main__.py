from tessarin_zero.cli import main

main()
