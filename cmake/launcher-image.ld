/* Added to the linker's default script for the launcher image: the identity strings get an
   output section of their own after every other one, so that the packer can rewrite it, and add
   its sections behind it, without moving anything that the code refers to. */
SECTIONS
{
  .zamid BLOCK(__section_alignment__) : { *(.zamid) }
}
INSERT AFTER .reloc;
