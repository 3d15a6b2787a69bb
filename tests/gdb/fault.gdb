continue
printf "stopped at %#x\n", $pc
continue
