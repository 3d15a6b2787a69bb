# Past the prologue of slot 15 its arguments have their names.
break ApplyBoardPtssTables
# A routine the slot calls again and again: its breakpoint holds until it is deleted.
break MmioRead32
continue
set var Setup->PcieTopology[0] = 3
printf "root port 0 topology = %d\n", Setup->PcieTopology[0]
continue
continue
delete 2
continue
