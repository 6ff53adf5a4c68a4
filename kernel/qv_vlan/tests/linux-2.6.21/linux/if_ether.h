#define ETH_P_8021Q 0x8100
#define ETH_P_802_3 0x0001
#define ETH_P_802_2 0x0004
