#include "dsp/TablePow.h"

#include <cmath>

const double TablePowBase2Table[16] = {
    1.0,    2.0,    4.0,    8.0,     16.0,    32.0,    64.0,    128.0,
    256.0,  512.0,  1024.0, 2048.0,  4096.0,  8192.0,  16384.0, 32768.0,
};

// The doubles nearest to 10^(k/200), written exactly.
const double TablePowBase10Table[201] = {
    0x1.0000000000000p+0, 0x1.02f6df015a0f1p+0, 0x1.05f687901262cp+0, 0x1.08ff13b8992e5p+0,
    0x1.0c109dd4962a0p+0, 0x1.0f2b408bcd790p+0, 0x1.124f16d507359p+0, 0x1.157c3bf6f9ab8p+0,
    0x1.18b2cb8936492p+0, 0x1.1bf2e175194e8p+0, 0x1.1f3c99f6bc436p+0, 0x1.2290119deb3b9p+0,
    0x1.25ed654f1cf27p+0, 0x1.2954b2446dc63p+0, 0x1.2cc6160e9d9acp+0, 0x1.3041ae9610ad9p+0,
    0x1.33c79a1bd3625p+0, 0x1.3757f73aa1125p+0, 0x1.3af2e4e7ede68p+0, 0x1.3e988274f3c5bp+0,
    0x1.4248ef8fc2604p+0, 0x1.46044c4452618p+0, 0x1.49cab8fd9bd1fp+0, 0x1.4d9c5686afb19p+0,
    0x1.5179460bd4d60p+0, 0x1.5561a91ba8144p+0, 0x1.5955a1a83fc11p+0, 0x1.5d55520852917p+0,
    0x1.6160dcf861e50p+0, 0x1.6578659be784fp+0, 0x1.699c0f7e86e10p+0, 0x1.6dcbfe9541d5cp+0,
    0x1.7208573fb105ep+0, 0x1.76513e493fd19p+0, 0x1.7aa6d8ea6bf62p+0, 0x1.7f094cca08e1cp+0,
    0x1.8378bffe86c52p+0, 0x1.87f5590f3d6eep+0, 0x1.8c7f3ef5bafbap+0, 0x1.9116991f1666ap+0,
    0x1.95bb8f6d46052p+0, 0x1.9a6e4a3879fa0p+0, 0x1.9f2ef2507aab9p+0, 0x1.a3fdb0fe0b48cp+0,
    0x1.a8dab00450690p+0, 0x1.adc619a23ad36p+0, 0x1.b2c01893f678ep+0, 0x1.b7c8d8145daecp+0,
    0x1.bce083de70b52p+0, 0x1.c207482ed1974p+0, 0x1.c73d51c54470ep+0, 0x1.cc82cde634280p+0,
    0x1.d1d7ea5c3ba5dp+0, 0x1.d73cd579b39e0p+0, 0x1.dcb1be1a44f0cp+0, 0x1.e236d3a47fb60p+0,
    0x1.e7cc460b76feep+0, 0x1.ed7245d0615bfp+0, 0x1.f32904043e363p+0, 0x1.f8f0b2498008ep+0,
    0x1.fec982d5bb8afp+0, 0x1.0259d439adeb7p+1, 0x1.0557ab41adcf3p+1, 0x1.085e607f81bdfp+1,
    0x1.0b6e0e3cd6b64p+1, 0x1.0e86cf1146c37p+1, 0x1.11a8bde33ffd2p+1, 0x1.14d3f5e8ee33bp+1,
    0x1.180892a92751ap+1, 0x1.1b46affc5a797p+1, 0x1.1e8e6a0d81e85p+1, 0x1.21dfdd5b17a61p+1,
    0x1.253b26b80d0a1p+1, 0x1.28a0634cc51e3p+1, 0x1.2c0fb09811e7ep+1, 0x1.2f892c7034a03p+1,
    0x1.330cf503e0e30p+1, 0x1.369b28db42dedp+1, 0x1.3a33e6d9088dcp+1, 0x1.3dd74e3b6e00cp+1,
    0x1.41857e9d4cc5fp+1, 0x1.453e97f72e73ap+1, 0x1.4902baa062613p+1, 0x1.4cd2075016973p+1,
    0x1.50ac9f1e74004p+1, 0x1.5492a385bde46p+1, 0x1.5884366374b85p+1, 0x1.5c8179f97c4b8p+1,
    0x1.608a90ef455d5p+1, 0x1.649f9e52faa52p+1, 0x1.68c0c59ab1564p+1, 0x1.6cee2aa59d2adp+1,
    0x1.7127f1bd47ffdp+1, 0x1.756e3f96cd0c9p+1, 0x1.79c1395417c10p+1, 0x1.7e2104852654fp+1,
    0x1.828dc72950138p+1, 0x1.8707a7b08f6dfp+1, 0x1.8b8eccfccfe0cp+1, 0x1.90235e633fb6cp+1,
    0x1.94c583ada5b53p+1, 0x1.9975651bbabcdp+1, 0x1.9e332b64876bap+1, 0x1.a2feffb7c5caap+1,
    0x1.a7d90bbf4714ap+1, 0x1.acc179a05da10p+1, 0x1.b1b873fd4affap+1, 0x1.b6be25f6b2522p+1,
    0x1.bbd2bb2d0eeecp+1, 0x1.c0f65fc22f5a2p+1, 0x1.c629405ab4a3ep+1, 0x1.cb6b8a1f96343p+1,
    0x1.d0bd6abfaa16dp+1, 0x1.d61f107131d0bp+1, 0x1.db90a9f36bce7p+1, 0x1.e112669029782p+1,
    0x1.e6a4761d69f9ap+1, 0x1.ec4708fef9cbfp+1, 0x1.f1fa5028170eap+1, 0x1.f7be7d1d1abf6p+1,
    0x1.fd93c1f526de0p+1, 0x1.01bd28adecc5ap+2, 0x1.04b92f4982990p+2, 0x1.07be0eba36e45p+2,
    0x1.0acbe139c59d7p+2, 0x1.0de2c14fa8852p+2, 0x1.1102c9d1fd9adp+2, 0x1.142c15e6703b8p+2,
    0x1.175ec10324f35p+2, 0x1.1a9ae6efa80b0p+2, 0x1.1de0a3c5ded74p+2, 0x1.213013f2fbd4ep+2,
    0x1.2489543875973p+2, 0x1.27ec81ad00935p+2, 0x1.2b59b9bd8bcfcp+2, 0x1.2ed11a2e4080bp+2,
    0x1.3252c11b849a6p+2, 0x1.35deccfb0061ep+2, 0x1.39755c9ca704fp+2, 0x1.3d168f2bc2430p+2,
    0x1.40c28430012e7p+2, 0x1.44795b8e8a118p+2, 0x1.483b358b0f7e9p+2, 0x1.4c0832c8e895ep+2,
    0x1.4fe0744c2c8a3p+2, 0x1.53c41b7ad16d8p+2, 0x1.57b34a1dce50ap+2, 0x1.5bae226240be0p+2,
    0x1.5fb4c6da959b1p+2, 0x1.63c75a7fb5797p+2, 0x1.67e600b234626p+2, 0x1.6c10dd3b8526bp+2,
    0x1.7048144f303e0p+2, 0x1.748bca8c0e3eep+2, 0x1.78dc24fd85fbep+2, 0x1.7d39491cce4f2p+2,
    0x1.81a35cd2339ffp+2, 0x1.861a8676612d5p+2, 0x1.8a9eecd3ae28fp+2, 0x1.8f30b7276ead0p+2,
    0x1.93d00d2348996p+2, 0x1.987d16ee8c630p+2, 0x1.9d37fd2791e19p+2, 0x1.a200e8e51926fp+2,
    0x1.a6d803b7af6ccp+2, 0x1.abbd77ab18240p+2, 0x1.b0b16f47ba32bp+2, 0x1.b5b41594116ccp+2,
    0x1.bac5961624537p+2, 0x1.bfe61cd4fe296p+2, 0x1.c515d65a2d66dp+2, 0x1.ca54efb3469bep+2,
    0x1.cfa396736bcdep+2, 0x1.d501f8b4d85bfp+2, 0x1.da70451a717a5p+2, 0x1.dfeeaad15b500p+2,
    0x1.e57d599292c58p+2, 0x1.eb1c81a48c12cp+2, 0x1.f0cc53dcd6193p+2, 0x1.f68d01a1c299ep+2,
    0x1.fc5ebcec13541p+2, 0x1.0120dc24560e7p+3, 0x1.041b136d24fe7p+3, 0x1.071e1e2d9fb1ep+3,
    0x1.0a2a168f9ac0bp+3, 0x1.0d3f170a79688p+3, 0x1.105d3a6413753p+3, 0x1.13849bb19dd20p+3,
    0x1.16b5565895cc7p+3, 0x1.19ef860faf10ap+3, 0x1.1d3346dfc466fp+3, 0x1.2080b524cb3b7p+3,
    0x1.23d7ed8ec9f73p+3, 0x1.27390d22d1339p+3, 0x1.2aa4313bf7d0cp+3, 0x1.2e19778c59f74p+3,
    0x1.3198fe1e1b0d1p+3, 0x1.3522e3546aa82p+3, 0x1.38b745ec8c85cp+3, 0x1.3c5644fee3910p+3,
    0x1.4000000000000p+3,
};

namespace {

// Rounds half away from zero.
double Nearest(double v) { return v >= 0.0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5); }

int FractionIndex(double scaled)
{
    const double k = Nearest(scaled);
    if (!(k >= 0.0)) {
        return 0;
    }
    return k > 200.0 ? 200 : static_cast<int>(k);
}

}  // namespace

double TablePowDouble(double base, double exponent)
{
    if (std::isnan(exponent)) {
        return 0.0;
    }
    if (base == 2.0) {
        const double k = Nearest(exponent);
        // Outside the table there is no entry to read.
        if (!(k >= 0.0 && k <= 15.0)) {
            return 0.0;
        }
        return TablePowBase2Table[static_cast<int>(k)];
    }
    if (base != 10.0) {
        return 0.0;
    }
    if (std::isinf(exponent)) {
        return exponent > 0.0 ? HUGE_VAL : 0.0;
    }
    const double n = std::trunc(exponent);
    double result;
    double steps;
    if (exponent >= 0.0) {
        result = TablePowBase10Table[FractionIndex((exponent - n) * 200.0)];
        steps = n;
        // Once the result is infinite (or for a huge exponent) further steps change nothing.
        for (; steps > 0.0 && !std::isinf(result); steps -= 1.0) {
            result *= 10.0;
        }
    } else {
        result = TablePowBase10Table[FractionIndex((exponent - n + 1.0) * 200.0)];
        steps = 1.0 - n;
        for (; steps > 0.0 && result != 0.0; steps -= 1.0) {
            result /= 10.0;
        }
    }
    return result;
}

float TablePow(float base, float exponent)
{
    return static_cast<float>(TablePowDouble(static_cast<double>(base), static_cast<double>(exponent)));
}
