#include "vs/ParamRules.h"

#include "core/TextHelpers.h"

#include <memory>

namespace vs {

namespace {
std::vector<std::string> SplitList(std::string_view text, char separator) {
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        const std::string_view item = core::TrimText(text.substr(start, end - start));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        if (end == std::string_view::npos) {
            return items;
        }
        start = end + 1;
    }
}

bool IsSwitchStart(char c) {
    return c == '/' || c == '-';
}

// A group is written "a | b, c | d": members separated by "|", names by ",".
TParamRule::TGroup ParseGroup(std::string_view text) {
    TParamRule::TGroup group;
    for (const std::string& member : SplitList(text, '|')) {
        group.push_back(SplitList(member, ','));
    }
    return group;
}

int FindSwitch(const TParamRule& rule, const core::TStringListEx& target, std::string_view name) {
    for (int i = 0; i < target.Count(); ++i) {
        if (rule.SwitchName(target[i]) == name) {
            return i;
        }
    }
    return -1;
}

// Joins "/D" and a following value token into "/D value".
void JoinSeparatedValues(const TParamRule& rule, core::TStringListEx& list) {
    for (int i = list.Count() - 2; i >= 0; --i) {
        const std::string& item = list[i];
        const std::string& next = list[i + 1];
        if (item.size() > 1 && IsSwitchStart(item[0]) && rule.IsSeparatedValue(item.substr(1)) &&
            !next.empty() && !IsSwitchStart(next[0])) {
            list.Put(i, item + " " + next);
            list.Delete(i + 1);
        }
    }
}

class TParamRule_CL final : public TParamRule {
public:
    TParamRule_CL()
        : TParamRule(
              "CL",
              {"O1,O2,Oa,Ob0,Ob1,Ob2,Ob3,Ob4,Od,Og,Oi,Op,Os,Ot,Ow,Ox,Oy,G3,G4,G5,G6,GB,Gd,Gr,Gz,GA,"
               "GD,Gf,GF,GZ,Gy,Gh,Ge,Gs,GR,GX,Gi,Gm,EHs,EHa,EHc,QIfdiv,QI0f,Fa,FA,Fd,Fe,Fm,Fo,Fp,"
               "Fr,"
               "FR,FD,C,D,E,EP,P,FI,U,u,I,X,Zi,ZI,Z7,Zd,Zp,Za,Ze,Zl,Zg,Zs,vd,vmb,vmg,vmm,vms,vmv,"
               "noBool,c,H,J,nologo,Tc,Tp,TC,TP,V,w,W0,W1,W2,W3,W4,WX,Yc,Yd,Yu,YX,Zm,MD,ML,MT,LD,"
               "LDd,"
               "MDd,MLd,MTd,F"},
              {"D,U,I,FI,Tc,Tp"}, {"D,U,I,FI,Tc,Tp"}, {}, {"Yc, Yu, YX"},
              {"Od | O1 | O2 | Oa, Og, Oi, Os, Ot, Ow, Ox",
               "Od | Op",
               "GZ | O2, O1, Og, Ox",
               "ZI | O2, O1, Og, Ox, Ob1, Ob2, Ob3, Ob4",
               "G3 | G4 | G5 | G6 | GB",
               "Gd | Gr | Gz",
               "GA | GD",
               "Ge | Gs",
               "E | EP | P",
               "Zi | ZI | Z7",
               "Yc | YX | Yu",
               "Fr | FR",
               "TC | TP",
               "w | W1, W2, W3, W4",
               "W0 | W1 | W2 | W3 | W4",
               "MD | ML | MT",
               "LD | LDd",
               "MDd | MLd | MTd",
               "Za | Ze",
               "Ze | Za",
               "vmb | vmg",
               "vmm | vms | vmv"}) {}

    bool SpecialSubtract(core::TStringListEx& target, const std::string& item) const override {
        if (item != "/Z<none>") {
            return false;
        }
        for (const char* debugInfo : {"/Zi", "-Zi", "/ZI", "-ZI", "/Z7", "-Z7"}) {
            for (int i = 0; i < target.Count(); ++i) {
                if (target[i] == debugInfo) {
                    target.Delete(i);
                    break;
                }
            }
        }
        return true;
    }
};

class TParamRule_Link final : public TParamRule {
public:
    TParamRule_Link() : TParamRule("LINK", {}, {}, {}, {}, {}, {}) {}

    bool SpecialAdd(core::TStringListEx& target, const std::string& item) const override {
        std::string value;
        if (!IncrementalValue(item, value)) {
            return false;
        }
        SetIncremental(target, value == "yes" ? "yes" : "no");
        return true;
    }

    bool SpecialSubtract(core::TStringListEx& target, const std::string& item) const override {
        std::string value;
        if (!IncrementalValue(item, value)) {
            return false;
        }
        SetIncremental(target, value == "yes" ? "no" : "yes");
        return true;
    }

private:
    static bool IsIncremental(std::string_view item) {
        return item.size() >= 13 && IsSwitchStart(item[0]) &&
               core::LowerCaseAscii(item.substr(1, 12)) == "incremental:";
    }
    static bool IncrementalValue(std::string_view item, std::string& value) {
        if (!IsIncremental(item)) {
            return false;
        }
        value = core::LowerCaseAscii(item.substr(13, 3));
        return true;
    }
    static void SetIncremental(core::TStringListEx& target, std::string_view value) {
        for (int i = 0; i < target.Count(); ++i) {
            if (IsIncremental(target[i])) {
                target.Put(i, target[i].substr(0, 13) + std::string(value));
                return;
            }
        }
        target.Add("/incremental:" + std::string(value));
    }
};

// The rules that need no special handling (RC, MIDL).
class TParamRule_Base final : public TParamRule {
public:
    template <typename... Lists>
    explicit TParamRule_Base(std::string name, Lists... lists)
        : TParamRule(std::move(name), std::move(lists)...) {}
};
} // namespace

TParamRule::TParamRule(std::string name, std::vector<std::string_view> knownLists,
                       std::vector<std::string_view> separatedLists,
                       std::vector<std::string_view> repeatableLists,
                       std::vector<std::string_view> ignoredLists,
                       std::vector<std::string_view> valueRequiredLists,
                       std::vector<std::string_view> groupTexts)
    : name(std::move(name)) {
    const auto fill = [](TNames& names, const std::vector<std::string_view>& lists) {
        for (const std::string_view list : lists) {
            for (std::string& item : SplitList(list, ',')) {
                names.insert(std::move(item));
            }
        }
    };
    fill(known, knownLists);
    fill(separatedValue, separatedLists);
    fill(repeatable, repeatableLists);
    fill(ignored, ignoredLists);
    fill(valueRequired, valueRequiredLists);
    for (const std::string_view text : groupTexts) {
        groups.push_back(ParseGroup(text));
    }
}

std::string TParamRule::SwitchName(std::string_view item) const {
    if (item.size() < 2 || !IsSwitchStart(item[0])) {
        return {};
    }
    const std::string_view text = item.substr(1);
    if (known.count(text) > 0) {
        return std::string(text);
    }
    std::string best;
    for (const std::string& candidate : known) {
        if (candidate.size() > best.size() && text.starts_with(candidate)) {
            best = candidate;
        }
    }
    return best;
}

bool TParamRule::SpecialAdd(core::TStringListEx&, const std::string&) const {
    return false;
}
bool TParamRule::SpecialSubtract(core::TStringListEx&, const std::string&) const {
    return false;
}

const TParamRule* FindParamRule(std::string_view toolName) {
    static const TParamRule_CL cl;
    using TLists = std::vector<std::string_view>;
    static const TParamRule_Base rc(
        "RC", TLists{"r,v,d,u,fo,l,i,x,c,w,n", "R,V,D,U,FO,L,I,X,C,W,N"},
        TLists{"d,i,u,fo,l", "D,I,U,FO,L"}, TLists{"d,i,u", "D,I,U"}, TLists{}, TLists{}, TLists{});
    static const TParamRule_Base midl(
        "MIDL",
        TLists{
            "acf_filename,align:,app_config,c_ext,caux,char,client,confirm,cpp_cmd,cpp_opt,cstub,D,"
            "dlldata,env,error,h,header,I,iid,import,lcid,mktyplib203,ms_ext,ms_union,msc_ver,new,"
            "newtlb,no_cpp,cocpp,no_default_epv,no_def_idir,no_format_opt,nologo,notlb,nowarn,oOi,"
            "Oic,"
            "Oif,Oicf,Oifc,old,oldtlb,oldnames,Os,osf,out,pack,prefix,proxy,robust,rpcss,saux,"
            "savePP,"
            "server,sstub,syntax_check,win32,win64,tlb,U,use_epv,version_stamp,W,warn,WX,zp,zs"},
        TLists{"acf_filename,char,client,cpp_cmd,cpp_opt,cstub,D,dlldata,env,error,h,header,I,iid,"
               "lcid,"
               "mktyplib203,o,out,pack,prefix,proxy,server,sstub,tlb,U"},
        TLists{"D,I,U"}, TLists{"c_ext,caux,import,new,old,saux"}, TLists{},
        TLists{"char | osf", "notlb | tlb", "no_warn | warn, W", "Oi, Oif, Oic, Oicf, Oifc | Os",
               "osf | app_config", "win64 | win32"});
    static const TParamRule_Link link;
    if (toolName == "CPP") {
        return &cl;
    }
    if (toolName == "RSC") {
        return &rc;
    }
    if (toolName == "MTL") {
        return &midl;
    }
    if (toolName == "LINK32") {
        return &link;
    }
    return nullptr;
}

std::string SwitchValue(const TParamRule& rule, std::string_view item) {
    const std::string name = rule.SwitchName(item);
    if (name.empty()) {
        return {};
    }
    return std::string(core::UnquoteText(core::TrimText(item.substr(1 + name.size()))));
}

namespace {
// Both merges: nothing for an empty line, else both lists normalised and each switch
// handed to `merge` in order.
template <typename Merge>
void MergeSwitches(const TParamRule& rule, const core::TStringListEx& switches,
                   core::TStringListEx& target, Merge merge) {
    if (switches.Empty()) {
        return;
    }
    core::TStringListEx items = switches;
    JoinSeparatedValues(rule, items);
    JoinSeparatedValues(rule, target);
    for (const std::string& item : items.Strings()) {
        merge(item);
    }
}
} // namespace

void AddSwitches(const TParamRule& rule, const core::TStringListEx& switches,
                 core::TStringListEx& target) {
    MergeSwitches(rule, switches, target, [&](const std::string& item) {
        if (rule.SpecialAdd(target, item)) {
            return;
        }
        const std::string name = rule.SwitchName(item);
        if (!name.empty() && rule.IsIgnored(name)) {
            return;
        }
        if (name.empty() || rule.IsRepeatable(name)) {
            if (target.IndexOf(item) < 0) {
                target.Add(item);
            }
            return;
        }
        const int existing = FindSwitch(rule, target, name);
        if (existing < 0) {
            target.Add(item);
        } else if (!rule.IsValueRequired(name) || !SwitchValue(rule, item).empty()) {
            target.Put(existing, item);
        }
        for (const TParamRule::TGroup& group : rule.Groups()) {
            std::size_t own = group.size();
            for (std::size_t m = 0; m < group.size() && own == group.size(); ++m) {
                for (const std::string& member : group[m]) {
                    if (member == name) {
                        own = m;
                        break;
                    }
                }
            }
            for (std::size_t m = 0; own < group.size() && m < group.size(); ++m) {
                if (m == own) {
                    continue;
                }
                for (const std::string& other : group[m]) {
                    if (const int index = FindSwitch(rule, target, other); index >= 0) {
                        target.Delete(index);
                    }
                }
            }
        }
    });
}

void SubtractSwitches(const TParamRule& rule, const core::TStringListEx& switches,
                      core::TStringListEx& target) {
    MergeSwitches(rule, switches, target, [&](const std::string& item) {
        if (rule.SpecialSubtract(target, item)) {
            return;
        }
        const std::string name = rule.SwitchName(item);
        if (!name.empty() && !rule.IsRepeatable(name)) {
            if (const int index = FindSwitch(rule, target, name); index >= 0) {
                target.Delete(index);
            }
        } else if (const int index = target.IndexOf(item); index >= 0) {
            target.Delete(index);
        }
    });
}

} // namespace vs
