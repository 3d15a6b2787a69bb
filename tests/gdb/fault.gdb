continue
printf "stopped at %#x\n", $pc
frames fault
continue
