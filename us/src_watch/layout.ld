/* Added to the default linker script when watch_daemon is linked.

   The read-only data and the frame tables go right after the dynamic
   symbols and relocations, in the read-only segment that holds the headers,
   rather than in a read-only segment of their own after the code (the layout
   lld makes by default). Every page of a segment the supervisor touches stays
   mapped for its life, and both together fit in the two pages the headers
   already take: one page less, with nothing made executable that was not. */
SECTIONS
{
  .rodata : { *(.rodata .rodata.* .gnu.linkonce.r.*) }
  .eh_frame_hdr : { *(.eh_frame_hdr) }
  .eh_frame : ONLY_IF_RO { KEEP (*(.eh_frame)) *(.eh_frame.*) }
}
INSERT AFTER .rela.plt;
