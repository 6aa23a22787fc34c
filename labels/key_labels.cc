#include "labels/key_labels.h"

namespace atb {

const KeyLabel KeyLabelTable[] = {
    {0x09CEA8A9, "reload_time"},
    {0xE205B1DA, "accurancy"},
    {0xF7A144CF, "vertical_traverse_speed"},
    {0xFE9ECB74, "max_traverse_up"},
    {0x6C473C18, "horizontal_traverse_speed"},
    {0x2E53FE0D, "fire_cone_angle"},
    {0xBC7BF425, "max_range"},
    {0xC20B9BAA, "max_traverse_down"},
    {0xCB264998, "max_traverse_left"},
    {0xD904C8A6, "stationary_horizontal_multiplier"},
    {0xEEFD4313, "max_traverse_right"},
    {0xE6045440, "move_to_home_position_delay"},
    {0x13B8FCB6, "max_damage"},
    {0x3801F697, "min_damage"},
    {0x665F4BD6, "armour_piercing"},
    {0x95662850, "morale_damage"},
    {0x44E670BC, "min_damage_value"},
    {0x9DBFA914, "damage_reduction_when_moving"},
    {0xE330DA1C, "requisition"},
    {0x150FB7E0, "power"},
    {0x1EB4E75C, "melee_weapon"},
    {0x1FD35F63, "(ignore me)"},
    {0x0338164A, "time_seconds"},
    {0xA7269BCD, "population"},
    {0x8A6CE071, "radius"},
    {0xA2D8BF63, "setup_time"},
    {0x05AD37CA, "accuracy_reduction_when_moving"},
    {0x0688D643, "squad_cap_usage"},
    {0x6D9C62C4, "max_squad_cap"},
    {0x97956297, "min_squad_cap"},
    {0x2DCB5D46, "in_combat_time_multiplier"},
    {0x58068A28, "can_upgrade"},
    {0x951DDDCA, "unit_max"},
    {0xD20D05D5, "unit_min"},
    {0xDFCBA169, "default_to_melee"},
    {0x6F9395DE, "max_support_cap"},
    {0x6273B874, "armor"},
    {0x8F7C9899, "starting_squad_cap"},
    {0xF690392C, "starting_support_cap"},
    {0x30493EDC, "duration_time"},
    {0x31F16835, "fadeout_delay"},
    {0x3B821A4F, "control_structure_use"},
    {0xFB6DCD1A, "delay"},
    {0x7E75F750, "pathfind_size"},
    {0xF0A351FD, "hitpoints"},
    {0x844F3E07, "armour_minimum"},
    {0xCB0061F0, "post_death_event_delay"},
    {0xCFC9679F, "display_health_bar"},
    {0x36C43493, "regeneration_rate"},
    {0x02B5E45A, "regeneration_decrease_in_combat"},
    {0x631DEBCB, "pre_death_event_delay"},
    {0x28622936, "morale_death"},
    {0xFC79885F, "max_repairers"},
    {0xB499C76E, "stay_in_pathfinding_after_dead_time"},
    {0x2E5A28D5, "can_be_repaired"},
    {0x48E788C8, "rebirth_time"},
    {0xAA9FEFEB, "rebirth_min_hp_percentage"},
    {0xC58391C3, "rebirth_max_hp_percentage"},
    {0x70EC8A9C, "requisition_per_second"},
    {0x3BFD13BD, "requisition_rate_multiplier"},
    {0xEB3085AB, "rebirth_chances_percentage"},
    {0xA483EC3D, "unload_delay"},
    {0xB008F868, "nr_available_spots"},
    {0x600E1806, "holds_produced_squads"},
    {0x4851F2C2, "shared_with_other_same_type_units"},
    {0x5CE6EA70, "show_decorator"},
    {0xF302816B, "only_on_visible_area"},
    // Its own hash; 0x2DCB5D46 above already belongs to in_combat_time_multiplier.
    {0x2AB4D94B, "max_upgrades"},
};

const int kKeyLabelCount = sizeof KeyLabelTable / sizeof KeyLabelTable[0];

const char* FindKeyLabel(uint32_t key) {
  for (int i = 0; i < kKeyLabelCount; ++i) {
    if (KeyLabelTable[i].hash == key) return KeyLabelTable[i].label;
  }
  return nullptr;
}

std::string KeyLabelText(uint32_t key) {
  if (const char* label = FindKeyLabel(key)) return label;
  return "ID:" + std::to_string(key);
}

}  // namespace atb
